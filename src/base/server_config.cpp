// server_config.cpp - LoadConfig and the readers of the four sections of
// zentdb6.cfg, with each key's default, range and message.
#include "base/server_config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/charset.h"
#include "base/debug_log.h"
#include "base/install_dirs.h"
#include "platform/syserr.h"

namespace {

constexpr int kItemSize = 1024;
constexpr int kValueSize = 1024;

// A numeric key: the value is stored when it lies in min..max; 0 keeps the
// default where zero_keeps; a switch stores any accepted non-zero as 1. A
// bad value logs message (with the number, level 1); a key without a message
// of its own is a plain ConfigInt (neither zero_keeps nor a switch).
template <class R>
struct IntRule {
  const char* key;
  int32_t R::*field;
  long min;
  long max;
  bool zero_keeps;
  bool as_switch;
  const char* message;
};

struct StringRule {
  const char* key;
  char* SrvConfig::*field;
  bool allow_empty;
};

constexpr IntRule<SrvConfig> kServerInts[] = {
    {"Timeout", &SrvConfig::timeout, 0, kCfgMaxSeconds, false, false, nullptr},
    {"UseKeepAlive", &SrvConfig::use_keep_alive, 0, kCfgMaxInt, false, false, nullptr},
    {"NoDNS", &SrvConfig::no_dns, 0, kCfgMaxInt, false, false, nullptr},
    {"EnableIPC", &SrvConfig::enable_ipc, 0, kCfgMaxInt, false, false, nullptr},
    {"DisableScan", &SrvConfig::disable_scan, 0, kCfgMaxInt, false, false, nullptr},
    {"MaxHandles", &SrvConfig::max_handles, 0, 32767, false, false, nullptr},
    {"SyncMode", &SrvConfig::sync_mode, 0, kCfgMaxInt, false, false, nullptr},
    {"HTTPFrame", &SrvConfig::http_frame, 0, LONG_MAX, false, true,
     "Bad HTTPFrame value: \"%ld\""},
};

constexpr StringRule kServerStrings[] = {
    {"Service", &SrvConfig::service, false},
    {"ServiceHTTP", &SrvConfig::service_http, false},
    {"LogFile", &SrvConfig::log_file, false},
    {"LogFlags", &SrvConfig::log_flags, true},
    {"HTTPUser", &SrvConfig::http_user, true},
    {"HTTPPswd", &SrvConfig::http_pswd, true},
};

constexpr IntRule<SrvLimits> kLimitInts[] = {
    {"Threads", &SrvLimits::threads, 1, kCfgMaxThreads, true, false,
     "Bad number of threads: \"%ld\""},
    {"IOThreads", &SrvLimits::io_threads, 0, 8, false, false, "Bad number of i/o threads: \"%ld\""},
    {"IOQueueSize", &SrvLimits::io_queue_size, 16, 256, true, false, "Bad i/o size: \"%ld\""},
    {"IOUseThreadLoad", &SrvLimits::io_use_thread_load, 0, kCfgMaxInt, false, false, nullptr},
    {"BufferCache", &SrvLimits::buffer_cache, 1, kCfgMaxMegabytes, true, false,
     "Bad buffer cache size: \"%ld\""},
    {"CheckPtFreq", &SrvLimits::checkpt_freq, 1, kCfgMaxSeconds, true, false,
     "Bad checkpoint frequency: \"%ld\""},
    {"CheckPtSize", &SrvLimits::checkpt_size, 0, kCfgMaxMegabytes, false, false,
     "Bad checkpoint log size: \"%ld\""},
    {"SyncerFreq", &SrvLimits::syncer_freq, 1, kCfgMaxSeconds, true, false,
     "Bad syncer frequency: \"%ld\""},
    {"SyncerNSync", &SrvLimits::syncer_nsync, 0, kCfgMaxInt, false, false,
     "Bad syncer count: \"%ld\""},
    {"LockConflictingItems", &SrvLimits::lock_conflicting_items, 0, LONG_MAX, false, true,
     "Bad LockConflictingItems value: \"%ld\""},
    {"AllowSecondaryBlockingLock", &SrvLimits::allow_secondary_blocking_lock, 0, LONG_MAX, false,
     true, "Bad AllowSecondaryBlockingLock value: \"%ld\""},
    {"UseLargeFileMode", &SrvLimits::use_large_file_mode, 0, kCfgMaxInt, false, false, nullptr},
};

template <class R, size_t N>
constexpr bool plain_rules_are_plain(const IntRule<R> (&rules)[N]) {
  for (const auto& r : rules)
    if (r.message == nullptr && (r.zero_keeps || r.as_switch)) return false;
  return true;
}
static_assert(plain_rules_are_plain(kServerInts) && plain_rules_are_plain(kLimitInts),
              "a key without a message of its own is read by ConfigInt");

constexpr const char* kObsoleteLimits[] = {"VnodeCache", "VbufElements", "SyncerMinFree",
                                           "SyncerNFlush", "HTTPFrame"};

bool is_ws(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// 0 accepted, -1 bad value (logged).
template <class R>
int apply_int(R* rec, const IntRule<R>& rule, const char* value) {
  if (rule.message == nullptr)
    return ConfigInt(rule.key, rule.min, rule.max, &(rec->*rule.field), value);
  long v = 0;
  const bool fits = ConfigNumber(value, &v);
  if (fits && v == 0 && rule.zero_keeps) return 0;
  if (!fits || v < rule.min || v > rule.max) {
    debug_log('A', 1, rule.message, v);
    return -1;
  }
  rec->*rule.field = static_cast<int32_t>(rule.as_switch ? (v != 0) : v);
  return 0;
}

template <class R, size_t N>
const IntRule<R>* find_rule(const IntRule<R> (&rules)[N], const char* item) {
  for (const auto& r : rules)
    if (strcasecmp(r.key, item) == 0) return &r;
  return nullptr;
}

// 0 accepted (unknown keys included), -1 bad value.
int apply_server_item(SrvConfig* srv, const char* item, const char* value) {
  for (const auto& r : kServerStrings)
    if (strcasecmp(r.key, item) == 0)
      return ConfigString(r.key, r.allow_empty, &(srv->*r.field), value);
  if (const auto* r = find_rule(kServerInts, item)) return apply_int(srv, *r, value);
  if (strcasecmp(item, "Panic") == 0) {
    ConfigPanic("Panic", &srv->panic, value);
    return 0;
  }
  if (strcasecmp(item, "Charset") == 0) {
    const int id = charset_id(value);
    char* name = id < 0 ? nullptr : strdup(charset_name(id));
    if (name == nullptr) {
      debug_log('A', 0, "Bad config value: charset=\"%s\"", value);
      return -1;
    }
    free(srv->charset_name);
    srv->charset_name = name;
    srv->charset = id;
    return 0;
  }
  debug_log('A', 1, "ServerConfig: Unknown configuration entry ignored: \"%s\"", item);
  return 0;
}

int apply_limit_item(SrvLimits* lim, const char* item, const char* value) {
  for (const char* obsolete : kObsoleteLimits) {
    if (strcasecmp(obsolete, item) == 0) {
      debug_log('A', 1, "NOTE: Obsolete configuration item: \"%s\"", obsolete);
      return 0;
    }
  }
  if (const auto* r = find_rule(kLimitInts, item)) return apply_int(lim, *r, value);
  debug_log('A', 1, "GetLimits: Unknown configuration entry ignored: \"%s\"", item);
  return 0;
}

void SrvLimits_Free(SrvLimits* lim) { free(lim); }

// Reads the items of a section of settings into a record made with the
// defaults; every item is logged and applied before a bad one fails it.
template <class R>
R* read_settings(IniHandle* handle, const char* section, const char* who, R* (*make)(),
                 void (*drop)(R*), int (*apply)(R*, const char*, const char*)) {
  const int found = IniSelectSection(handle, section);
  if (found < 0) return nullptr;
  R* rec = make();
  if (rec == nullptr || found == 1) return rec;
  bool failed = false;
  char item[kItemSize];
  char value[kValueSize];
  while (IniNextItem(handle, item, sizeof item, value, sizeof value) == 0) {
    // The status pages' password is never logged in clear.
    const bool secret = strcasecmp(item, "HTTPPswd") == 0;
    debug_log('A', 2, "%s: item=\"%s\", value=\"%s\"", who, item, secret ? "********" : value);
    if (apply(rec, item, value) != 0) failed = true;
  }
  if (failed) {
    drop(rec);
    return nullptr;
  }
  return rec;
}

void derive_log_mode(SrvConfig* srv) {
  if (srv->log_file == nullptr) {
    srv->log_mode = CFG_LOG_FILE;  // no path: the command line's target stands
  } else if (strcasecmp(srv->log_file, "console") == 0) {
    srv->log_mode = CFG_LOG_CONSOLE;
  } else if (strcasecmp(srv->log_file, "syslog") == 0) {
    srv->log_mode = CFG_LOG_SYSLOG;
  } else {
    srv->log_mode = CFG_LOG_FILE;
  }
}

// Linux absolute paths, and the two network and drive forms of the other
// system's files.
bool absolute_path(const char* p) {
  if (p[0] == '/') return true;
  if (p[0] == '\\' && p[1] == '\\') return true;
  const bool letter = (p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z');
  return letter && p[1] == ':';
}

// Reads the pairs of a list section; devices also need absolute paths.
CfgItemList* read_list(IniHandle* handle, const char* section, const char* who, bool devices) {
  const int found = IniSelectSection(handle, section);
  if (found < 0) return nullptr;
  CfgItemList* list = CfgItemList_New();
  if (list == nullptr || found == 1) return list;
  char item[kItemSize];
  char value[kValueSize];
  while (IniNextItem(handle, item, sizeof item, value, sizeof value) == 0) {
    debug_log('A', 2, "%s: item=\"%s\", value=\"%s\"", who, item, value);
    if (value[0] == '\0') {
      debug_log('A', 1, "%s: Bad configuration entry ignored: \"%s\"", who, item);
      continue;
    }
    // A '|' device is a command that the archive is piped through.
    if (devices && value[0] != '|' && !absolute_path(value)) {
      debug_log('A', 1, "%s: Configuration entry ignored: \"%s\"", who, item);
      debug_log('A', 1, "An absolute path must be specified.");
      continue;
    }
    auto* grown = static_cast<CfgItem*>(
        realloc(list->items, (static_cast<size_t>(list->count) + 1) * sizeof(CfgItem)));
    if (grown != nullptr) list->items = grown;
    char* i = grown ? strdup(item) : nullptr;
    char* v = grown ? strdup(value) : nullptr;
    if (i == nullptr || v == nullptr) {
      free(i);
      free(v);
      debug_log('A', 0, "%s: Memory allocation failed", who);
      CfgItemList_Free(list);
      return nullptr;
    }
    list->items[list->count++] = CfgItem{i, v};
  }
  return list;
}

void log_open_failure(const char* path, int err) {
  char text[256];
  platform::sys_error_text(err, text, sizeof text);
  debug_log('A', 0, "Unable to open config file.");
  // A log line holds 1023 characters; the reason must survive a long path.
  constexpr int kShown = 900;
  if (strlen(path) > static_cast<size_t>(kShown))
    debug_log('A', 0, "%.*s...: %s", kShown, path, text);
  else
    debug_log('A', 0, "%s: %s", path, text);
}

}  // namespace

bool ConfigNumber(const char* text, long* out) {
  const char* p = text;
  while (is_ws(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  long v = 0;
  bool fits = true;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const int d = *p - '0';
    if (fits && (__builtin_mul_overflow(v, 10L, &v) ||
                 __builtin_add_overflow(v, negative ? -d : d, &v))) {
      fits = false;
    }
  }
  *out = fits ? v : (negative ? LONG_MIN : LONG_MAX);
  return fits;
}

int ConfigString(const char* key, int allow_empty, char** field, const char* value) {
  if (!allow_empty && value[0] == '\0') {
    debug_log('A', 0, "No value specified for %s", key);
    return -1;
  }
  char* copy = strdup(value);
  if (copy == nullptr) {
    debug_log('A', 0, "Memory allocation failed.");
    return -1;
  }
  free(*field);
  *field = copy;
  return 0;
}

int ConfigInt(const char* key, long minimum, long maximum, int32_t* field, const char* value) {
  long v = 0;
  if (!ConfigNumber(value, &v) || v < minimum || v > maximum) {
    debug_log('A', 0, "Bad value specified for %s: \"%s\"", key, value);
    return -1;
  }
  *field = static_cast<int32_t>(v);
  return 0;
}

void ConfigPanic(const char* key, int32_t* field, const char* value) {
  if (strcasecmp(value, "Restart") == 0)
    *field = CFG_PANIC_RESTART;
  else if (strcasecmp(value, "Exit") == 0)
    *field = CFG_PANIC_EXIT;
  else if (strcasecmp(value, "Dump") == 0)
    *field = CFG_PANIC_DUMP;
  else
    debug_log('A', 1, "Unknown %s value ignored: \"%s\"", key, value);
}

SrvConfig* SrvConfig_New() {
  auto* srv = static_cast<SrvConfig*>(calloc(1, sizeof(SrvConfig)));
  if (srv == nullptr) return nullptr;
  srv->service = strdup("zentdb");
  srv->service_http = strdup("");
  srv->charset_name = strdup(charset_name(CHARSET_ISO88591));
  srv->use_keep_alive = 1;
  srv->panic = CFG_PANIC_RESTART;
  srv->sync_mode = 1;
  srv->log_mode = CFG_LOG_FILE;
  srv->charset = CHARSET_ISO88591;
  if (srv->service == nullptr || srv->service_http == nullptr || srv->charset_name == nullptr) {
    SrvConfig_Free(srv);
    return nullptr;
  }
  return srv;
}

void SrvConfig_Free(SrvConfig* srv) {
  if (srv == nullptr) return;
  for (const auto& r : kServerStrings) free(srv->*r.field);
  free(srv->charset_name);
  free(srv);
}

SrvLimits* SrvLimits_New() {
  auto* lim = static_cast<SrvLimits*>(calloc(1, sizeof(SrvLimits)));
  if (lim == nullptr) return nullptr;
  lim->threads = 40;
  lim->io_threads = 4;
  lim->io_queue_size = 0;
  lim->buffer_cache = 5;
  lim->checkpt_freq = 60;
  lim->checkpt_size = 10;
  lim->syncer_freq = 5;
  return lim;
}

CfgItemList* CfgItemList_New() {
  return static_cast<CfgItemList*>(calloc(1, sizeof(CfgItemList)));
}

void CfgItemList_Free(CfgItemList* list) {
  if (list == nullptr) return;
  for (int k = 0; k < list->count; ++k) {
    free(list->items[k].item);
    free(list->items[k].value);
  }
  free(list->items);
  free(list);
}

SrvConfig* ServerConfig(IniHandle* handle, const char* section) {
  SrvConfig* srv = read_settings(handle, section, "ServerConfig", SrvConfig_New, SrvConfig_Free,
                                 apply_server_item);
  if (srv != nullptr) derive_log_mode(srv);
  return srv;
}

SrvLimits* GetLimits(IniHandle* handle, const char* section) {
  return read_settings(handle, section, "GetLimits", SrvLimits_New, SrvLimits_Free,
                       apply_limit_item);
}

CfgItemList* VolumeList(IniHandle* handle, const char* section) {
  return read_list(handle, section, "VolumeList", false);
}

CfgItemList* DeviceList(IniHandle* handle, const char* section) {
  return read_list(handle, section, "DeviceList", true);
}

CfgRecord* LoadConfig(const char* path) {
  char built[kConfigPathSize];
  if (path == nullptr) {
    const char* etc = get_etc_directory();
    const int n = etc ? snprintf(built, sizeof built, "%s/%s", etc, kConfigFileName) : -1;
    if (n < 0 || static_cast<size_t>(n) >= sizeof built) {
      log_open_failure(etc ? etc : "etc", ENAMETOOLONG);
      return nullptr;
    }
    path = built;
  } else if (strlen(path) >= static_cast<size_t>(kConfigPathSize)) {
    // Cutting the path would read some other file.
    log_open_failure(path, ENAMETOOLONG);
    return nullptr;
  }

  auto* cfg = static_cast<CfgRecord*>(calloc(1, sizeof(CfgRecord)));
  if (cfg != nullptr) cfg->path = strdup(path);
  if (cfg == nullptr || cfg->path == nullptr) {
    debug_log('A', 0, "Memory allocation failed.");
    FreeConfig(cfg);
    return nullptr;
  }

  IniHandle ini;
  IniInitHandle(&ini);
  if (IniOpen(&ini, path, nullptr) != 0) {
    log_open_failure(path, errno);
    FreeConfig(cfg);
    return nullptr;
  }
  cfg->server = ServerConfig(&ini, "Server");
  cfg->limits = GetLimits(&ini, "Config");
  cfg->volumes = VolumeList(&ini, "Volumes");
  cfg->devices = DeviceList(&ini, "Devices");
  IniClose(&ini);

  if (cfg->server == nullptr || cfg->limits == nullptr || cfg->volumes == nullptr) {
    debug_log('A', 0, "Configuration problem detected.");
    FreeConfig(cfg);
    return nullptr;
  }
  return cfg;
}

void FreeConfig(CfgRecord* cfg) {
  if (cfg == nullptr) return;
  free(cfg->path);
  SrvConfig_Free(cfg->server);
  free(cfg->limits);
  CfgItemList_Free(cfg->volumes);
  CfgItemList_Free(cfg->devices);
  free(cfg);
}
