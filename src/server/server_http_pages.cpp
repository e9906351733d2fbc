// server_http_pages.cpp - the server's status pages (see server_http.h).
//
// Each page is built whole on the server thread without sleeping: it reads
// the configuration, the worker slots, the task table, the volume set, the
// cache, the history and the access layer's lists directly. Every text
// that came from a client goes through HtmlText; every piece is bounded by
// the page's piece buffer.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/charset.h"
#include "base/task_kernel.h"
#include "base/vbuf.h"
#include "index/btree.h"
#include "server/client_session.h"
#include "storage/tlog.h"
#include "server/hist.h"
#include "server/server_http.h"
#include "server/server_main.h"
#include "index/btree.h"
#include "server/server_seams.h"
#include "access/idb_lock.h"
#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "server/server_tasks.h"
#include "storage/buffer_cache.h"
#include "storage/node_logrec.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/volume_set.h"

namespace {

constexpr const char kTable[] = "<table border=1 cellspacing=0 cellpadding=3 width=\"100%\">\n";

void row(HttpPage* page, const char* name, const char* value) {
  http_printf(page, "<tr><th align=left>%s<td>%s\n", name, value);
}
void row_int(HttpPage* page, const char* name, long long value) {
  http_printf(page, "<tr><th align=left>%s<td>%lld\n", name, value);
}
void row_text(HttpPage* page, const char* name, const char* value) {
  row(page, name, HtmlText(value).c_str());
}
const char* yes_no(int v) { return v ? "Yes" : "No"; }

// A cell of a client text, "&nbsp;" when empty.
const char* cell(const HtmlText& t) { return t.c_str()[0] ? t.c_str() : "&nbsp;"; }

const char* panic_text(int panic) {
  switch (panic) {
    case CFG_PANIC_RESTART: return "restart";
    case CFG_PANIC_EXIT: return "exit";
    case CFG_PANIC_DUMP: return "dump";
    default: return "???";
  }
}

const char* lock_status_text(int status) {
  switch (status) {
    case 1: return "GRANTED";
    case 2: return "BLOCKED";
    case 3: return "PENDING";
    default: return "?";
  }
}

// Megabytes with one decimal of pages of page_size bytes.
void megabytes(char* buf, size_t size, uint64_t pages, uint32_t page_size) {
  const uint64_t tenths = pages * page_size * 10 / 1048576;
  snprintf(buf, size, "%llu.%llu", static_cast<unsigned long long>(tenths / 10),
           static_cast<unsigned long long>(tenths % 10));
}

const char* vol_type_text(uint32_t type) {
  switch (type) {
    case VolType_DATA: return "DATA";
    case VolType_LOG: return "LOG";
    case VolType_TEMP: return "TEMP";
    default: return "???";
  }
}

// The worker slots with a session, in slot order.
template <class Fn>
void for_each_session(Fn fn) {
  for (int i = 0; tc_worker != nullptr && i < max_workers; ++i) {
    Task* t = tc_worker[i];
    ClientSession* s = t ? session_of(t) : nullptr;
    if (s != nullptr && s->magic == SESSION_MAGIC) fn(t, s);
  }
}

int session_count() {
  int n = 0;
  for_each_session([&](Task*, ClientSession*) { ++n; });
  return n;
}

// --- performance ------------------------------------------------------------

struct Series {
  int id;
  const char* what;
  const char* unit;
  bool rate;  // a rate history shows its maximum
};

void history(HttpPage* page, const Series& s) {
  HistFifo fifo;
  uint32_t values[HIST_MINUTES + 1];
  int count = 0;
  if (hist_get(s.id, &fifo) == 0 && fifo.seconds > 0) {
    hist_open(s.id);
    uint32_t v;
    while (count < HIST_MINUTES + 1 && hist_next(&v) == 0) values[count++] = v;
    hist_close();
  }
  // A current minute that has no seconds yet has no average of its own.
  if (count > 1 && fifo.minute_seconds == 0) {
    memmove(values, values + 1, static_cast<size_t>(count - 1) * sizeof values[0]);
    --count;
  }
  if (count == 0) {
    http_printf(page, "<tt>Average %s not available yet.</tt><br>\n", s.what);
    return;
  }
  const uint32_t overall = static_cast<uint32_t>(fifo.sum / fifo.seconds);
  bool equal = true;
  uint32_t largest = 0;
  for (int i = 0; i < count; ++i) {
    equal = equal && values[i] == values[0];
    if (values[i] > largest) largest = values[i];
  }
  if (count == 1) {
    http_printf(page, "<tt>Average %s: %u%s</tt><br>\n", s.what, values[0], s.unit);
  } else if (equal) {
    http_printf(page, "<tt>Average %s during last %d minutes: %u%s</tt><br>\n", s.what, count,
                values[0], s.unit);
  } else {
    http_printf(page, "<tt>Average %s during last %d minutes (most recent first):</tt><br>\n",
                s.what, count);
    http_append(page, "<table border=0 cellspacing=0 cellpadding=1>\n");
    for (int i = 0; i < count; ++i) {
      http_printf(page, "<tr><td align=right><tt>%u%s</tt><td>", values[i], s.unit);
      const int width = http_bar_width(values[i], largest);
      if (width > 0) http_printf(page, "<img src=\"/blue-pixel.gif\" width=%d height=6>", width);
      http_append(page, "\n");
    }
    http_append(page, "</table>\n");
  }
  http_printf(page, "<tt>&nbsp;Overall average: %u%s", overall, s.unit);
  if (s.rate) http_printf(page, ", maximum: %u%s", fifo.highest, s.unit);
  http_append(page, "</tt><br>\n");
}

// --- statistics -------------------------------------------------------------

struct StatRow {
  const char* label;
  uint64_t value;
};

// One section of the statistics page: its heading and a table of counters.
template <size_t N>
void stat_section(HttpPage* page, const char* heading, const StatRow (&rows)[N]) {
  http_printf(page, "<h3>%s</h3>\n", heading);
  http_append(page, kTable);
  for (const StatRow& r : rows)
    http_printf(page, "<tr><th align=left>%s<td>%llu\n", r.label, static_cast<unsigned long long>(r.value));
  http_append(page, "</table>\n");
}

void io_kind(HttpPage* page, const char* kind, int mode) {
  Vol_IOSTAT st{};
  Vol_GetStatistics(mode, &st);
  http_printf(page, "<tr><th align=left>Total %s requests<td>%u\n", kind, st.count);
  if (st.count == 0) return;
  auto share = [&](const char* what, uint32_t n) {
    http_printf(page, "<tr><th align=left>%s<td>%u (%u%%)\n", what, n,
                static_cast<unsigned>(uint64_t{n} * 100 / st.count));
  };
  share("&nbsp;&nbsp;immediately satisfied", st.by_type[Vol_STAT_AT_ONCE]);
  if (mode != Vol_STAT_TIO) share("&nbsp;&nbsp;sync overlapped", st.by_type[Vol_STAT_WAITED]);
  if (mode != Vol_STAT_READ) share("&nbsp;&nbsp;async overlapped", st.by_type[Vol_STAT_BY_THREAD]);
  const unsigned long long avg = st.timed ? st.sum_us / st.timed : 0;
  http_printf(page, "<tr><th align=left>&nbsp;&nbsp;request time (us)<td>average %llu, minimum %u, maximum %u\n",
              avg, st.min_us, st.max_us);
}

// Appends printf text to buf at *len, never past size.
void add(char* buf, size_t size, size_t* len, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void add(char* buf, size_t size, size_t* len, const char* format, ...) {
  if (*len >= size) return;
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(buf + *len, size - *len, format, ap);
  va_end(ap);
  if (n > 0) *len += static_cast<size_t>(n);
  if (*len >= size) *len = size - 1;
}

const char* op_text(uint32_t op) {
  switch (op) {
    case 0: case 3: return "=";
    case 1: case 4: return "<=";
    case 2: case 5: return ">=";
    default: return "?";
  }
}

}  // namespace

int http_bar_width(uint32_t value, uint32_t largest) {
  if (value == 0) return 0;
  const uint64_t divisor = (largest > 100 ? largest : 100) / 100;
  const uint64_t width = uint64_t{value} * 3 / divisor;
  return width < 6 ? 6 : width > 100000 ? 100000 : static_cast<int>(width);
}

const char* http_lock_descriptor_text(const uint32_t* w, char* buf, size_t size) {
  size_t len = 0;
  buf[0] = '\0';
  if (w == nullptr) return buf;
  uint32_t pos = 1;
  idb_descr_entry e;
  bool first = true;
  int rc;
  while ((rc = idb__descr_entry_next(w, &pos, &e)) == 1) {
    if (!first) add(buf, size, &len, "; ");
    first = false;
    add(buf, size, &len, "set=");
    if (e.nsets == 0) add(buf, size, &len, "@");
    for (uint32_t i = 0; i < e.nsets; ++i) add(buf, size, &len, "%s%u", i ? "," : "", e.sets[i] + 1);
    if (e.item == 0) {
      add(buf, size, &len, " item=@ %s",
          e.nsets == 0 ? "(effective base lock)" : "(effective set lock)");
      continue;
    }
    add(buf, size, &len, " item=%u %s val=%c (%u) ", e.item, op_text(e.op), e.type, e.vlen);
    const uint32_t words = e.value_words;
    const auto* bytes = reinterpret_cast<const unsigned char*>(e.value);
    if (e.type == 'I' || e.type == 'D') {
      if (words < 1) break;
      add(buf, size, &len, "%d", static_cast<int32_t>(e.value[0]));
    } else if (e.type == 'S' || e.type == 'L') {
      if (words < 2) break;
      double d;
      memcpy(&d, e.value, sizeof d);
      add(buf, size, &len, "%1.12g", d);
    } else if (e.type == 'X' || e.type == 'B') {
      if (e.vlen > words * 4u) break;
      if (e.type == 'X') {
        add(buf, size, &len, "\"");
        for (uint32_t i = 0; i < e.vlen; ++i)
          add(buf, size, &len, "%c", bytes[i] >= 0x20 && bytes[i] != 0x7f ? bytes[i] : '.');
        add(buf, size, &len, "\"");
      } else {
        const uint32_t shown = e.vlen < 32 ? e.vlen : 32;
        for (uint32_t i = 0; i < shown; ++i) add(buf, size, &len, "%02x", bytes[i]);
        if (shown < e.vlen) add(buf, size, &len, "...");
      }
    } else {
      add(buf, size, &len, "?");
    }
  }
  if (rc != 0) add(buf, size, &len, "%s...", len == 0 || buf[len - 1] == ' ' ? "" : " ");
  return buf;
}

void http_index_page(HttpPage* page) {
  http_append(page, "<h3>Server Status</h3>\n");
  http_append(page,
              "This server provides status information over HTTP when enabled. "
              "The following pages are available:<p>\n");
  http_append(page, kTable);
  static const struct {
    const char* label;
    const char* link;
    const char* text;
  } kPages[] = {
      {"Index", "index", "This provides a short overview about the available pages(this one)."},
      {"Config", "config", "Server configuration"},
      {"Session", "session", "List of active database sessions"},
      {"Database", "db", "List of open databases"},
      {"Lock", "lock", "List of active database locks"},
      {"Thread", "ps", "Active database threads"},
      {"Volume", "vol", "Volume statistics"},
      {"Performance", "perf", "Performance statistics"},
      {"Statistics", "stat", "Server statistics"},
  };
  for (const auto& p : kPages) {
    http_append(page, "<tr><th align=left>");
    http_link(page, p.link, p.label);
    http_printf(page, "<td>%s\n", p.text);
  }
  http_append(page, "</table>\n");
}

void http_config_page(HttpPage* page) {
  const SrvConfig* srv = server_cfg->server;
  const SrvLimits* lim = server_cfg->limits;
  http_append(page, "<h3>Server Status</h3>\n");
  http_append(page, kTable);
  row(page, "Server revision", server_revision_text());
  row_int(page, "Server process id", getpid());
  http_append(page, "</table>\n");

  http_append(page, "<h3>Server Configuration</h3>\n");
  http_append(page, kTable);
  row(page, "Panic", panic_text(srv->panic));
  row_text(page, "Service", srv->service);
  row_text(page, "ServiceHTTP", srv->service_http);
  row(page, "UseKeepAlive", yes_no(srv->use_keep_alive));
  row(page, "NoDNS", yes_no(srv->no_dns));
  row(page, "EnableIPC", srv->enable_ipc ? "enabled" : "disabled");
  row(page, "DisableScan", srv->disable_scan ? "disabled" : "enabled");
  row(page, "SyncMode", srv->sync_mode ? "Full (Data, Transaction Log)" : "Off");
  row_int(page, "Timeout", srv->timeout);
  if (srv->log_mode == CFG_LOG_CONSOLE)
    row(page, "LogFile", "<em>console</em>");
  else if (srv->log_mode == CFG_LOG_SYSLOG)
    row(page, "LogFile", "<em>syslog</em>");
  else if (srv->log_file != nullptr)
    row_text(page, "LogFile", srv->log_file);
  else
    row(page, "LogFile", "???");
  if (srv->log_flags != nullptr)
    row_text(page, "LogFlags", srv->log_flags);
  else
    row(page, "LogFlags", "<em>unspecified</em>");
  row(page, "HttpUser/HttpPswd", yes_no(srv->http_user != nullptr || srv->http_pswd != nullptr));
  row(page, "HttpFrame", yes_no(srv->http_frame));
  row_text(page, "Charset", srv->charset_name ? srv->charset_name : charset_name(srv->charset));
  row_int(page, "Threads", lim->threads);
  row_int(page, "I/O Threads", lim->io_threads);
  row_int(page, "BufferCache", lim->buffer_cache);
  row_int(page, "CheckPtFreq", lim->checkpt_freq);
  row_int(page, "CheckPtSize", lim->checkpt_size);
  row_int(page, "SyncerFreq", lim->syncer_freq);
  if (lim->syncer_nsync != 0) row_int(page, "SyncerNSync", lim->syncer_nsync);
  row(page, "LockConflictingItems", yes_no(lim->lock_conflicting_items));
  row(page, "AllowSecondaryBlockingLock", yes_no(lim->allow_secondary_blocking_lock));
  http_append(page, "</table>\n");
}

void http_session_page(HttpPage* page) {
  http_append(page, "<h3>Active Sessions</h3>\n");
  http_printf(page, "Number of active sessions: %d<p>", session_count());
  http_append(page, kTable);
  http_append(page,
              "<tr><th>Session<th>TID<th>Host<th>IP ADDR<th>Platform<th>User<th>Login\n");
  for_each_session([&](Task* t, ClientSession* s) {
    char addr[16];
    const HtmlText host(s->host), platform(s->platform), user(s->os_user, 20),
        login(idb_session_user_name(s->db_session));
    http_printf(page, "<tr><td>%p<td>%d<td>%s<td>%s:%d<td>%s<td>%s<td>%s\n",
                static_cast<void*>(s->db_session), thread_id(t), cell(host),
                format_ipv4(s->peer_addr, addr), s->port, cell(platform), cell(user), cell(login));
  });
  http_append(page, "</table>\n");
}

bool http_db_row_next(int* cursor, StatusDbRow* row) {
  const vglobal* v = idb__get_vroot_list();
  for (int i = 0; v != nullptr && i < *cursor; ++i) v = v->next;
  if (*cursor < 0 || v == nullptr) return false;
  ++*cursor;
  *row = StatusDbRow{v->name, v->ref_cnt, v->share[IDB_SHARE_WRITE], v->share[IDB_SHARE_EXCL],
                     v->share[IDB_SHARE_READ], v->share[IDB_SHARE_READ_EXCL]};
  return true;
}

void http_db_row(HttpPage* page, const StatusDbRow* r) {
  http_printf(page, "<tr><td>%s<td>%d<td>%d<td>%d<td>%d<td>%d\n",
              r->name ? HtmlText(r->name).c_str() : "?", r->open_count, r->write_shared,
              r->write_exclusive, r->read_shared, r->read_exclusive);
}

void http_db_page(HttpPage* page) {
  http_append(page, "<h3>Open Databases</h3>\n");
  http_append(page, kTable);
  http_append(page,
              "<tr><th>Database<th>OpenCount<th>WriteShared<th>WriteExclusive<th>ReadShared"
              "<th>ReadExclusive\n");
  int cursor = 0;
  StatusDbRow row;
  while (http_db_row_next(&cursor, &row)) http_db_row(page, &row);
  http_append(page, "</table>\n");
}

bool http_lock_row_next(int* cursor, StatusLockRow* row) {
  const lock_entry* e = idb__get_lock_list();
  for (int i = 0; e != nullptr && i < *cursor; ++i) e = e->next;
  if (*cursor < 0 || e == nullptr) return false;
  ++*cursor;
  *row = StatusLockRow{e->session, e->task ? thread_id(e->task) : 0,
                       e->db != nullptr ? e->db->name : nullptr,
                       e->ctx != nullptr ? static_cast<int>(e->ctx->dbid) : 0,
                       e->l_stat, e->kind, e->set, e->descr};
  return true;
}

void http_lock_row(HttpPage* page, const StatusLockRow* r) {
  char qualifier[32];
  bool descriptor = false;
  switch (r->mode) {
    case 1: case 2: case 11: case 12:
      snprintf(qualifier, sizeof qualifier, "database");
      break;
    case 3: case 4: case 13: case 14:
      snprintf(qualifier, sizeof qualifier, "set %d", r->set + 1);
      break;
    case 5: case 6: case 15: case 16:
      snprintf(qualifier, sizeof qualifier, "expression");
      descriptor = true;
      break;
    default:
      snprintf(qualifier, sizeof qualifier, "?");
      break;
  }
  http_printf(page, "<tr><td>%p<td>%s<td>%d<td>%s<td>%d<td>%s\n", r->session,
              r->database ? HtmlText(r->database).c_str() : "?", r->dbid,
              lock_status_text(r->status), r->mode, qualifier);
  if (descriptor) {
    char text[1024];
    http_printf(page, "<tr><td colspan=6><tt>%s</tt>\n",
                HtmlText(http_lock_descriptor_text(r->descriptor, text, sizeof text), sizeof text)
                    .c_str());
  }
}

void http_lock_page(HttpPage* page) {
  http_append(page, "<h3>Database Locks</h3>\n");
  http_append(page, kTable);
  http_append(page, "<tr><th>Session<th>Database<th>DBID<th>Status<th>Mode<th>Qualifier\n");
  int cursor = 0;
  StatusLockRow row;
  while (http_lock_row_next(&cursor, &row)) http_lock_row(page, &row);
  http_append(page, "</table>\n");
}

void http_ps_page(HttpPage* page) {
  http_append(page, "<h3>Active Threads</h3>\n");
  http_printf(page, "Number of active user threads: %d<p>", session_count());
  http_append(page, kTable);
  http_append(page, "<tr><th>ST<th>TID<th>WCHAN<th>Blocked<th>Sched<th>Name\n");
  int cursor = 0;
  while (const TaskInfo* info = thread_info_next(&cursor)) {
    char blocked[16] = "&nbsp;";
    if (info->blocked_seconds != 0) snprintf(blocked, sizeof blocked, "%u", info->blocked_seconds);
    http_printf(page, "<tr><td>%c<td>%d<td>%s<td>%s<td>%u<td>%s\n", info->state[0], info->id,
                info->wchan[0] ? info->wchan : "&nbsp;", blocked, info->runs,
                HtmlText(info->name).c_str());
    if (info->wait[0] != '\0') http_printf(page, "<tr><td colspan=6>%s\n", HtmlText(info->wait).c_str());
  }
  http_append(page, "</table>\n");
}

void http_vol_page(HttpPage* page) {
  http_append(page, "<h3>Server Volumes</h3>\n");
  http_append(page, kTable);
  http_append(page, "<tr><th>ID<th>Type<th>Path\n");
  Vol_XINFO info;
  int rc;
  for (int i = 0; (rc = Vol_GetVolumeInfo(i, &info)) >= 0; ++i) {
    if (rc != 0) continue;
    http_printf(page, "<tr><td>%u<td>%s<td>%s\n", info.volume_id + 1, vol_type_text(info.type),
                info.path[0] ? HtmlText(info.path).c_str() : "&nbsp;");
  }
  http_append(page, "</table>\n");
  if (Vol_IsRedirected())
    http_append(page, "<p><b>On-line backup mode is active: data page writes are redirected "
                      "to the transaction log volumes.</b>\n");
  http_append(page, "<h3>Volume Statistics</h3>\n");
  http_append(page, kTable);
  http_append(page,
              "<tr><th>ID<th>Type<th>Cur.Sz<th>Ext.Sz<th>Max.Sz<th>Free<th>Used<th>Seek Cnt"
              "<th>Read Cnt<th>Write Cnt\n");
  for (int i = 0; (rc = Vol_GetVolumeInfo(i, &info)) >= 0; ++i) {
    if (rc != 0) continue;
    char cur[24], ext[24], max[24], free_mb[24], used[24];
    megabytes(cur, sizeof cur, info.curr_size, info.page_size);
    megabytes(ext, sizeof ext, info.ext_size, info.page_size);
    megabytes(max, sizeof max, info.max_size, info.page_size);
    megabytes(free_mb, sizeof free_mb, info.free_size, info.page_size);
    megabytes(used, sizeof used, info.curr_size >= info.free_size ? info.curr_size - info.free_size : 0,
              info.page_size);
    http_printf(page, "<tr><td>%u<td>%s<td>%s<td>%s<td>%s<td>%s<td>%s<td>%u<td>%u<td>%u\n",
                info.volume_id + 1, vol_type_text(info.type), cur, ext, max, free_mb, used,
                info.io_count, info.read_count, info.write_count);
  }
  http_append(page, "</table>\n");
}

void http_perf_page(HttpPage* page) {
  http_append(page, "<h3>Performance Statistics</h3>\n");
  static const Series kSeries[] = {
      {HIST_LOAD, "server load", "%", false},
      {HIST_REQUESTS, "client requests", "/s", true},
      {HIST_COMMITS, "committed transactions", "/s", true},
      {HIST_READS, "disk reads", "/s", true},
      {HIST_WRITES, "disk writes", "/s", true},
      {HIST_SYNCS, "disk syncs", "/s", true},
  };
  for (const Series& s : kSeries) {
    http_append(page, "<p>\n");
    history(page, s);
  }
}

void http_stat_page(HttpPage* page) {
  const Tlog_COUNTERS& tx = *Tlog_Counters();
  const StatRow transactions[] = {{"Number of top-level transactions", tx.top_begins},
                                  {"Number of sub transactions", tx.sub_begins},
                                  {"Number of transactions committed", tx.precommits},
                                  {"Number of transactions rolled back", tx.rollbacks}};
  stat_section(page, "Transaction Statistics", transactions);
  uint32_t bytes = 0, max_bytes = 0;
  const uint32_t in_use = Node_LogRecordUsage(&bytes);
  const uint32_t most = Node_LogRecordHighMark(&max_bytes);
  http_printf(page, "Number of transaction records in use: %d (%u bytes), maximum: %d (%u bytes)<p>\n",
              static_cast<int>(in_use), bytes, static_cast<int>(most), max_bytes);
  const BufStats* bs = buf_GetStats();
  const StatRow cache[] = {{"Cache buffers", static_cast<uint64_t>(buf_NumBuffers())},
                           {"Cache hits", bs->hits},
                           {"Cache misses", bs->misses},
                           {"Pages allocated", bs->allocated},
                           {"Dirty buffers written before reuse", bs->dirty_writes},
                           {"Pages requested", bs->requests},
                           {"Buffers reused", bs->reused},
                           {"Unpins", bs->unpins},
                           {"Pages read", bs->pages_read},
                           {"Pages written", bs->pages_written},
                           {"Hash entries into an empty bucket", bs->bucket_first},
                           {"Hash entries into a non-empty bucket", bs->bucket_more},
                           {"Waits for a page being read", bs->read_waits}};
  stat_section(page, "Page Cache Statistics", cache);
  const btree_STATS& bt = *btree_GetStats();
  const StatRow btree[] = {{"Fast inserts", bt.fast_hits},       {"Fast insert misses", bt.fast_misses},
                           {"Root splits", bt.root_splits},      {"Page splits", bt.page_splits},
                           {"Sort splits", bt.sort_splits},      {"Bytes saved by shortened keys", bt.pfx_saved}};
  stat_section(page, "B-tree Statistics", btree);
  const VBufStats vb = vbuf_stats();
  const StatRow vbufs[] = {{"Objects", vb.objects}, {"Objects (maximum)", vb.max_objects},
                           {"Bytes", vb.bytes},     {"Bytes (maximum)", vb.max_bytes}};
  stat_section(page, "VBuf Statistics", vbufs);
  const VNodeStats vn = VNode_GetStats();
  const StatRow vnodes[] = {{"VNodes allocated", vn.allocated}, {"VNodes allocated (maximum)", vn.max_allocated},
                            {"VNodes in use", vn.in_use},       {"VNodes in use (maximum)", vn.max_in_use},
                            {"VNodes unused", vn.unused}};
  stat_section(page, "VNode Statistics", vnodes);
  const idb_lock_stats ls = idb__get_lock_stats();
  const StatRow locks[] = {{"Lock requests", ls.requests},         {"Shared lock requests", ls.shared},
                           {"Exclusive lock requests", ls.exclusive}, {"Granted immediately", ls.granted},
                           {"Conflicts", ls.conflicts},              {"Refused or abandoned", ls.refused},
                           {"Total wait time (ticks)", ls.wait_ticks}};
  stat_section(page, "Lock Statistics", locks);

  http_append(page, "<h3>I/O Statistics</h3>\n");
  http_printf(page, "Number of I/O read/write threads: %d<p>\n", tio_rw_threads());
  http_append(page, kTable);
  io_kind(page, "read", Vol_STAT_READ);
  io_kind(page, "write", Vol_STAT_WRITE);
  io_kind(page, "sync", Vol_STAT_TIO);
  http_append(page, "</table>\n");
}

void http_pinned_page(HttpPage* page) {
  http_append(page, "<h3>Pinned Cache Pages</h3>\n");
  http_append(page, kTable);
  http_append(page,
              "<tr><th>IDX<th>NODE<th>PGID<th>LNEXT<th>LPREV<th>HNEXT<th>HPREV<th>CLUSTER<th>LINK"
              "<th>FLAGS<th>REFC\n");
  int cursor = 0;
  while (const BufStatus* b = buf_StatusNext(&cursor)) {
    http_printf(page, "<tr><td>%d<td>%s<td>%u:%u<td>%d<td>%d<td>%d<td>%d<td>%d<td>%d<td>%s<td>%d\n",
                b->index, HtmlText(b->node).c_str(), b->volume_id, b->page, b->lru_next,
                b->lru_prev, b->hash_next, b->hash_prev, b->cluster_next, b->backlink, b->flags,
                b->refcount);
  }
  http_append(page, "</table>\n");
}
