// The server's status pages built in memory: the performance page's four
// forms from a prepared history and its bar widths, the lock page with an
// "expression" lock of each value type, the database page, the session
// page with client texts escaped, and the configuration page's wording.
#include "server/server_http.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/client_session.h"
#include "server/hist.h"
#include "server/server_main.h"
#include "server/server_seams.h"
#include "access/idb_lock.h"
#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "server/vtimer.h"
#include "server/hist_fixture.h"
#include "support/frame_events.h"
#include "storage/node_logrec.h"
#include "storage/tio.h"

namespace {

std::string render(void (*body)(HttpPage*)) {
  HttpPage page;
  EXPECT_EQ(http_page_init(&page, &kServerHttpSite), 0);
  body(&page);
  std::string text(page.data, page.size);
  http_page_free(&page);
  return text;
}

// Rows of every kind and state, some that no queue entry can have.
const StatusLockRow* g_rows = nullptr;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// --- performance -------------------------------------------------------------

class PerfPage : public HistFixture {
 protected:
  // One 10-second interval: load percent and requests per second.
  static void interval(uint32_t load, uint64_t requests_per_second) {
    const uint64_t counts[HIST_SERIES_COUNT - 1] = {requests_per_second * 10, 0, 0, 0, 0};
    hist_sample(uint64_t{100 - load} * 100000, counts);
  }
  static void minute(uint32_t load, uint64_t requests_per_second) {
    for (int i = 0; i < 6; ++i) interval(load, requests_per_second);
  }
};

TEST_F(PerfPage, NoSampleYet) {
  const std::string page = render(http_perf_page);
  EXPECT_TRUE(has(page, "<h3>Performance Statistics</h3>\n"));
  for (const char* what : {"server load", "client requests", "committed transactions", "disk reads",
                           "disk writes", "disk syncs"})
    EXPECT_TRUE(has(page, std::string("<tt>Average ") + what + " not available yet.</tt><br>")) << what;
  EXPECT_FALSE(has(page, "Overall average"));
}

TEST_F(PerfPage, OneSample) {
  interval(40, 7);
  const std::string page = render(http_perf_page);
  EXPECT_TRUE(has(page, "<tt>Average server load: 40%</tt><br>")) << page;
  EXPECT_TRUE(has(page, "<tt>Average client requests: 7/s</tt><br>"));
  EXPECT_TRUE(has(page, "<tt>&nbsp;Overall average: 40%</tt><br>"));
  EXPECT_TRUE(has(page, "<tt>&nbsp;Overall average: 7/s, maximum: 7/s</tt><br>"));
}

TEST_F(PerfPage, AllSamplesEqual) {
  minute(25, 3);
  minute(25, 3);
  const std::string page = render(http_perf_page);
  EXPECT_TRUE(has(page, "<tt>Average server load during last 2 minutes: 25%</tt><br>")) << page;
  EXPECT_TRUE(has(page, "<tt>Average client requests during last 2 minutes: 3/s</tt><br>"));
  EXPECT_FALSE(has(page, "blue-pixel"));
}

TEST_F(PerfPage, BarsMostRecentFirst) {
  minute(10, 60);
  minute(20, 120);
  interval(30, 0);  // the current minute: no requests
  const std::string page = render(http_perf_page);
  EXPECT_TRUE(has(page, "Average client requests during last 3 minutes (most recent first)")) << page;
  // 0/s has no bar; 120 is the largest (divisor 1): 360 and 180 wide.
  const std::string bars = "<tr><td align=right><tt>0/s</tt><td>\n"
                           "<tr><td align=right><tt>120/s</tt><td><img src=\"/blue-pixel.gif\" width=360 height=6>\n"
                           "<tr><td align=right><tt>60/s</tt><td><img src=\"/blue-pixel.gif\" width=180 height=6>\n";
  EXPECT_TRUE(has(page, bars)) << page;
  // 3600 + 7200 + 0 requests over 130 seconds; the best interval had 120/s.
  EXPECT_TRUE(has(page, "<tt>&nbsp;Overall average: 83/s, maximum: 120/s</tt><br>"));
  // The load has no maximum.
  EXPECT_TRUE(has(page, "<tt>30%</tt><td><img src=\"/blue-pixel.gif\" width=90 height=6>"));
  EXPECT_TRUE(has(page, "<tt>&nbsp;Overall average: 16%</tt><br>"));
}

struct BarCase {
  uint32_t value, largest;
  int width;
};

TEST(PerfBars, WidthRule) {
  const BarCase cases[] = {{0, 50, 0},    {1, 50, 6},      {2, 50, 6},      {50, 50, 150},
                           {100, 100, 300}, {150, 300, 150}, {300, 300, 300}, {1, 100000, 6},
                           {199, 199, 597}, {250, 250, 375}};
  for (const BarCase& c : cases) EXPECT_EQ(http_bar_width(c.value, c.largest), c.width) << c.value << "/" << c.largest;
}

// --- databases and locks -----------------------------------------------------

TEST(DatabaseRows, PageHeadingsAndEscapedNames) {
  // No database open: the headings only.
  const std::string empty = render(http_db_page);
  EXPECT_TRUE(has(empty, "<h3>Open Databases</h3>\n"));
  EXPECT_TRUE(has(empty, "<tr><th>Database<th>OpenCount<th>WriteShared<th>WriteExclusive<th>ReadShared<th>ReadExclusive\n"));
  EXPECT_FALSE(has(empty, "<tr><td>"));
  const std::string page = render([](HttpPage* p) {
    static const StatusDbRow rows[] = {{"<script>alert(1)</script>", 3, 1, 0, 2, 0},
                                       {nullptr, 1, 0, 0, 0, 0}};
    for (const StatusDbRow& r : rows) http_db_row(p, &r);
  });
  EXPECT_TRUE(has(page, "<tr><td>&lt;script&gt;alert(1)&lt;/script&gt;<td>3<td>1<td>0<td>2<td>0\n")) << page;
  EXPECT_TRUE(has(page, "<tr><td>?<td>1<td>0<td>0<td>0<td>0\n"));
  EXPECT_FALSE(has(page, "<script>"));
}

// A parsed descriptor: its word count, then the entries.
std::vector<uint32_t> descriptor(const std::vector<std::vector<uint32_t>>& entries) {
  std::vector<uint32_t> w = {0};
  for (const auto& e : entries) {
    w.push_back(static_cast<uint32_t>(e.size() + 1));
    w.insert(w.end(), e.begin(), e.end());
  }
  w[0] = static_cast<uint32_t>(w.size() - 1);
  return w;
}
uint32_t header(char type, uint32_t size) { return static_cast<uint32_t>(type) << 16 | size; }
std::vector<uint32_t> bytes_words(const std::string& s, size_t size) {
  std::vector<uint32_t> w((size + 3) / 4, 0);
  memcpy(w.data(), s.data(), std::min(s.size(), size));
  return w;
}
std::vector<uint32_t> double_words(double d) {
  std::vector<uint32_t> w(2);
  memcpy(w.data(), &d, sizeof d);
  return w;
}
std::vector<uint32_t> cat(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct DescCase {
  const char* name;
  std::vector<uint32_t> words;
  const char* text;
};

TEST(LockDescriptorText, EachValueTypeAndWholeEntries) {
  const std::string bin("\x01\xab\xff", 3);
  const DescCase cases[] = {
      {"I", descriptor({{1, 0, 2, 0, header('I', 2), static_cast<uint32_t>(-5)}}), "set=1 item=2 = val=I (2) -5"},
      {"D", descriptor({{2, 1, 4, 3, 2, header('D', 4), 123456}}), "set=2,5 item=3 >= val=D (4) 123456"},
      {"S", descriptor({cat({1, 0, 4, 4, header('S', 4)}, double_words(1.5))}), "set=1 item=4 <= val=S (4) 1.5"},
      {"L", descriptor({cat({1, 0, 5, 5, header('L', 8)}, double_words(0.1))}), "set=1 item=5 >= val=L (8) 0.1"},
      {"X", descriptor({cat({1, 2, 6, 3, header('X', 6)}, bytes_words("ab<c\"", 6))}),
       "set=3 item=6 = val=X (6) \"ab<c\".\""},
      {"B", descriptor({cat({1, 0, 7, 0, header('B', 3)}, bytes_words(bin, 3))}), "set=1 item=7 = val=B (3) 01abff"},
      {"B beyond 32", descriptor({cat({1, 0, 7, 0, header('B', 40)}, bytes_words(std::string(40, 'A'), 40))}),
       "set=1 item=7 = val=B (40) 4141414141414141414141414141414141414141414141414141414141414141..."},
      {"whole base", descriptor({{0, 0}}), "set=@ item=@ (effective base lock)"},
      {"whole set", descriptor({{1, 3, 0}}), "set=4 item=@ (effective set lock)"},
      {"every set, one item", descriptor({{0, 2, 0, header('I', 2), 7}}), "set=@ item=2 = val=I (2) 7"},
      {"two entries", descriptor({{1, 0, 0}, {1, 1, 2, 0, header('D', 4), 9}}),
       "set=1 item=@ (effective set lock); set=2 item=2 = val=D (4) 9"},
      {"entry count beyond the words", {3, 9, 0, 0}, "..."},
      {"set count beyond the entry", {3, 3, 5, 0}, "..."},
      {"value missing", descriptor({{1, 0, 2, 0, header('L', 8)}}), "set=1 item=2 = val=L (8) ..."},
  };
  for (const DescCase& c : cases) {
    SCOPED_TRACE(c.name);
    char buf[512];
    EXPECT_STREQ(http_lock_descriptor_text(c.words.data(), buf, sizeof buf), c.text);
  }
  char small[16];
  const std::vector<uint32_t> w = descriptor({{0, 0}});
  EXPECT_STREQ(http_lock_descriptor_text(w.data(), small, sizeof small), "set=@ item=@ (e");
}

TEST(LockRows, LockPageShowsEveryKindAndTheDescriptorRow) {
  EXPECT_TRUE(has(render(http_lock_page), "<h3>Database Locks</h3>\n"));
  const std::vector<uint32_t> x = descriptor({cat({1, 0, 6, 0, header('X', 8)}, bytes_words("<b>&", 8))});
  const std::vector<uint32_t> d = descriptor({{1, 0, 3, 1, header('D', 4), 42}});
  const StatusLockRow rows[] = {
      {reinterpret_cast<void*>(0x1000), 7, "<db>", 1, 1, 2, 0, nullptr},
      {reinterpret_cast<void*>(0x1000), 7, "ORDERS", 1, 2, 14, 4, nullptr},
      {reinterpret_cast<void*>(0x2000), 8, "ORDERS", 2, 3, 6, 0, x.data()},
      {reinterpret_cast<void*>(0x2000), 8, "ORDERS", 2, 1, 16, 0, d.data()},
      {reinterpret_cast<void*>(0x3000), 9, nullptr, 3, 9, 99, 0, nullptr},
  };
  g_rows = rows;
  const std::string page = render(+[](HttpPage* p) {
    http_append(p, "<tr><th>Session<th>Database<th>DBID<th>Status<th>Mode<th>Qualifier\n");
    for (int i = 0; i < 5; ++i) http_lock_row(p, &g_rows[i]);
  });
  EXPECT_TRUE(has(page, "<tr><th>Session<th>Database<th>DBID<th>Status<th>Mode<th>Qualifier\n"));
  EXPECT_TRUE(has(page, "<td>&lt;db&gt;<td>1<td>GRANTED<td>2<td>database\n")) << page;
  EXPECT_TRUE(has(page, "<td>ORDERS<td>1<td>BLOCKED<td>14<td>set 5\n"));
  EXPECT_TRUE(has(page, "<td>ORDERS<td>2<td>PENDING<td>6<td>expression\n"
                        "<tr><td colspan=6><tt>set=1 item=6 = val=X (8) &quot;&lt;b&gt;&amp;....&quot;</tt>\n"));
  EXPECT_TRUE(has(page, "<td>ORDERS<td>2<td>GRANTED<td>16<td>expression\n"
                        "<tr><td colspan=6><tt>set=1 item=3 &lt;= val=D (4) 42</tt>\n"));
  EXPECT_TRUE(has(page, "<td>?<td>3<td>?<td>99<td>?\n"));
  EXPECT_FALSE(has(page, "<b>"));
}

TEST(LockRows, LockPageListsTheLockManagersQueue) {
  vglobal db{};
  char name[] = "<sample>";
  db.name = name;
  idb_session a{}, b{};
  db_ctx ca{}, cb{};
  ca.root = cb.root = &db;
  ca.dbid = 4;
  cb.dbid = 9;
  const uint32_t set2[] = {2};
  ASSERT_EQ(idb__add_lock(&a, &ca, 14, set2), 0);
  ASSERT_EQ(idb__add_lock(&b, &cb, 12, nullptr), 0);
  const std::string page = render(http_lock_page);
  EXPECT_TRUE(has(page, "<td>&lt;sample&gt;<td>4<td>GRANTED<td>14<td>set 3\n")) << page;
  EXPECT_TRUE(has(page, "<td>&lt;sample&gt;<td>9<td>GRANTED<td>12<td>database\n")) << page;
  const std::string stats = render(http_stat_page);
  idb__del_session_locks(&a);
  idb__del_session_locks(&b);
  EXPECT_FALSE(has(render(http_lock_page), "GRANTED"));
  EXPECT_TRUE(has(stats, "Lock requests")) << stats;
  // The transaction records (log-record entries) in use with their maximum,
  // and the I/O threads.
  uint32_t bytes = 0, max_bytes = 0;
  const uint32_t in_use = Node_LogRecordUsage(&bytes), most = Node_LogRecordHighMark(&max_bytes);
  char line[160];
  snprintf(line, sizeof line,
           "Number of transaction records in use: %u (%u bytes), maximum: %u (%u bytes)<p>\n",
           in_use, bytes, most, max_bytes);
  EXPECT_TRUE(has(stats, line)) << stats;
  EXPECT_TRUE(has(stats, "Number of I/O read/write threads: " + std::to_string(tio_rw_threads())))
      << stats;
}

TEST(DbSessionName, TheLoggedOnNameOrNothing) {
  idb_session s{};
  EXPECT_STREQ(idb_session_user_name(nullptr), "");
  EXPECT_STREQ(idb_session_user_name(&s), "");
  char name[] = "alice";
  s.user_name = name;
  EXPECT_STREQ(idb_session_user_name(&s), "alice");
}

// --- sessions and configuration ------------------------------------------------

class FramePages : public testsupport::ServerFrame {
 protected:
  void SetUp() override { set_up_frame(4); }
  void TearDown() override { tear_down_frame(); }
};

TEST_F(FramePages, SessionPageEscapesTheHostName) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  client_fds_.push_back(fds[0]);
  ASSERT_EQ(session_start(fds[1], 0x0a000001, 4321, "<script>x</script>.example"), 0);
  const std::string page = render(http_session_page);
  EXPECT_TRUE(has(page, "<h3>Active Sessions</h3>\nNumber of active sessions: 1<p>")) << page;
  EXPECT_TRUE(has(page, "<td>&lt;script&gt;x&lt;/script&gt;.example<td>10.0.0.1:4321<td>&nbsp;<td>&nbsp;<td>&nbsp;\n"))
      << page;
  EXPECT_FALSE(has(page, "<script>"));
  const std::string ps = render(http_ps_page);
  EXPECT_TRUE(has(ps, "<h3>Active Threads</h3>\nNumber of active user threads: 1<p>"));
  EXPECT_TRUE(has(ps, "&lt;script&gt;x&lt;/script&gt;.example")) << ps;
  EXPECT_FALSE(has(ps, "<script>"));
}

struct ConfigCase {
  const char* name;
  void (*set)(SrvConfig*, SrvLimits*);
  const char* row;
};

TEST_F(FramePages, ConfigurationRowsSayWhatIsSet) {
  const ConfigCase cases[] = {
      {"panic restart", [](SrvConfig* s, SrvLimits*) { s->panic = CFG_PANIC_RESTART; }, "<th align=left>Panic<td>restart\n"},
      {"panic dump", [](SrvConfig* s, SrvLimits*) { s->panic = CFG_PANIC_DUMP; }, "<th align=left>Panic<td>dump\n"},
      {"panic other", [](SrvConfig* s, SrvLimits*) { s->panic = 9; }, "<th align=left>Panic<td>???\n"},
      {"scan off", [](SrvConfig* s, SrvLimits*) { s->disable_scan = 1; }, "<th align=left>DisableScan<td>disabled\n"},
      {"sync full", [](SrvConfig* s, SrvLimits*) { s->sync_mode = 1; }, "<th align=left>SyncMode<td>Full (Data, Transaction Log)\n"},
      {"sync off", [](SrvConfig* s, SrvLimits*) { s->sync_mode = 0; }, "<th align=left>SyncMode<td>Off\n"},
      {"ipc", [](SrvConfig* s, SrvLimits*) { s->enable_ipc = 1; }, "<th align=left>EnableIPC<td>enabled\n"},
      {"console", [](SrvConfig* s, SrvLimits*) { s->log_mode = CFG_LOG_CONSOLE; }, "<th align=left>LogFile<td><em>console</em>\n"},
      {"syslog", [](SrvConfig* s, SrvLimits*) { s->log_mode = CFG_LOG_SYSLOG; }, "<th align=left>LogFile<td><em>syslog</em>\n"},
      {"file without path", [](SrvConfig* s, SrvLimits*) { s->log_mode = CFG_LOG_FILE; }, "<th align=left>LogFile<td>???\n"},
      {"file", [](SrvConfig* s, SrvLimits*) { s->log_mode = CFG_LOG_FILE; s->log_file = const_cast<char*>("/var/log/<z>.log"); },
       "<th align=left>LogFile<td>/var/log/&lt;z&gt;.log\n"},
      {"no flags", [](SrvConfig*, SrvLimits*) {}, "<th align=left>LogFlags<td><em>unspecified</em>\n"},
      {"password only", [](SrvConfig* s, SrvLimits*) { s->http_pswd = const_cast<char*>("p"); }, "<th align=left>HttpUser/HttpPswd<td>Yes\n"},
      {"no syncer count", [](SrvConfig*, SrvLimits*) {}, "<th align=left>AllowSecondaryBlockingLock<td>No\n"},
      {"syncer count", [](SrvConfig*, SrvLimits* l) { l->syncer_nsync = 12; }, "<th align=left>SyncerNSync<td>12\n"},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.name);
    const SrvConfig saved_srv = srv_;
    const SrvLimits saved_lim = lim_;
    srv_.service = const_cast<char*>("zentdb");
    c.set(&srv_, &lim_);
    const std::string page = render(http_config_page);
    EXPECT_TRUE(has(page, c.row)) << page;
    EXPECT_EQ(has(page, "SyncerNSync"), lim_.syncer_nsync != 0);
    srv_ = saved_srv;
    lim_ = saved_lim;
  }
}

}  // namespace
