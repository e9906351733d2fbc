// daemon_config.cpp - the keys of zentsd.cfg and their rules (see
// daemon_config.h).
#include "daemon/daemon_config.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "base/charset.h"
#include "base/debug_log.h"
#include "base/ini_file.h"
#include "base/install_dirs.h"

namespace zentsd {

namespace {

constexpr int kValueSize = 1024;

struct Reader {
  const char* path;
  char value[kValueSize];

  const char* get(const char* key, const char* def) {
    IniGetString("config", key, def, value, sizeof value, path);
    return value;
  }
};

void bad_value(const char* key, const char* value) {
  debug_log('C', 0, "Bad config value: %s=\"%s\" (ignored)", key, value);
}

// "0" or "1"; anything else is logged and gives 0.
int read_flag(Reader* r, const char* key, const char* def) {
  const char* v = r->get(key, def);
  if (strcmp(v, "0") == 0) return 0;
  if (strcmp(v, "1") == 0) return 1;
  bad_value(key, v);
  return 0;
}

// A number of at least 1; a bad value is logged and the default stays.
void read_count(Reader* r, const char* key, const char* def, int* out) {
  const char* v = r->get(key, def);
  long n = 0;
  if (parse_number(v, 1, 0x7fffffff, &n))
    *out = static_cast<int>(n);
  else
    bad_value(key, v);
}

std::string etc_file(const char* name) {
  const char* etc = get_etc_directory();
  return std::string(etc ? etc : ".") + "/" + name;
}

}  // namespace

bool parse_number(const char* text, long min, long max, long* out) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  long v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    if (v > (max - (*p - '0')) / 10) return false;
    v = v * 10 + (*p - '0');
  }
  if (v < min) return false;
  *out = v;
  return true;
}

int daemon_config_load(const char* path, DaemonConfig* cfg) {
  try {
    const std::string cfg_path = path != nullptr ? std::string(path) : etc_file("zentsd.cfg");
    Reader r{cfg_path.c_str(), {}};

    cfg->service = r.get("service", "zentsd");
    cfg->service_http = r.get("serviceHTTP", "");
    cfg->use_keep_alive = read_flag(&r, "useKeepAlive", "1");

    const char* v = r.get("timeout", "900");
    long n = 0;
    if (parse_number(v, 0, kMaxTimeout, &n)) {
      cfg->timeout = static_cast<int>(n);
    } else {
      bad_value("timeout", v);
      cfg->timeout = 0;
    }

    cfg->http_frame = read_flag(&r, "httpFrame", "0");
    cfg->http_user = r.get("httpUSER", "");
    cfg->http_pswd = r.get("httpPSWD", "");

    v = r.get("tmpDir", "");
    cfg->tmp_dir.clear();
    if (v[0] != '\0') {
      struct stat st;
      if (stat(v, &st) != 0) {
        debug_log('C', 2, "Unable to stat \"%s\", %s", v, strerror(errno));
        bad_value("tmpDir", v);
      } else if (!S_ISDIR(st.st_mode)) {
        debug_log('C', 2, "Not a directory: \"%s\"", v);
        bad_value("tmpDir", v);
      } else {
        cfg->tmp_dir = v;
      }
    }

    v = r.get("panic", "exit");
    if (strcmp(v, "exit") == 0)
      cfg->panic = 0;
    else if (strcmp(v, "dump") == 0)
      cfg->panic = 1;
    else
      bad_value("panic", v);

    cfg->lang = r.get("lang", "C");
    cfg->messages = r.get("messages", cfg->lang.c_str());

    v = r.get("charset", "default");
    cfg->charset = v;
    if (strcasecmp(v, "default") == 0) {
      cfg->charset_id = CHARSET_ISO88591;
    } else if ((cfg->charset_id = charset_id(v)) < 0) {
      bad_value("charset", v);
      cfg->charset = "default";
      cfg->charset_id = CHARSET_ISO88591;
    }

    v = r.get("AuthPolicy", "server");
    if (strcmp(v, "server") != 0) bad_value("security", v);
    cfg->auth_policy = 1;

    v = r.get("userFile", "");
    cfg->user_file = v[0] != '\0' ? std::string(v) : etc_file("zentsd.user");
    v = r.get("shareFile", "");
    cfg->share_file = v[0] != '\0' ? std::string(v) : etc_file("zentsd.share");

    cfg->default_uid = r.get("DefaultUID", "");
    cfg->log_file = r.get("logFile", "");
    cfg->log_flags = r.get("logFlags", "*0");
    read_count(&r, "MaxUsers", "40", &cfg->max_users);
    read_count(&r, "MaxTasks", "20", &cfg->max_tasks);
    read_count(&r, "MaxRemote", "20", &cfg->max_remote);
    cfg->date_fmt = r.get("DateFmt", "");
    cfg->time_fmt = r.get("TimeFmt", "");

    v = r.get("maxFileSize", "67108864");
    if (parse_number(v, 1, kMaxMaxFileSize, &n))
      cfg->max_file_size = static_cast<uint32_t>(n);
    else
      bad_value("maxFileSize", v);

    v = r.get("logonTimeout", "30");
    if (parse_number(v, 1, kMaxTimeout, &n))
      cfg->logon_timeout = static_cast<int>(n);
    else
      bad_value("logonTimeout", v);
    v = r.get("reservedSlots", "32");
    if (parse_number(v, 0, kMaxChildren - 1, &n))
      cfg->reserved_slots = static_cast<int>(n);
    else
      bad_value("reservedSlots", v);

    int rc = 0;
    if ((cfg->auth_policy == 1 || cfg->auth_policy == 3) &&
        cfg->users.SetFile(cfg->user_file.c_str()) != 0) {
      debug_log('C', 0, "Unable to open file: \"%s\"", cfg->user_file.c_str());
      rc = -1;
    }
    if (cfg->shares.SetFile(cfg->share_file.c_str()) != 0) {
      debug_log('C', 0, "Unable to open file: \"%s\"", cfg->share_file.c_str());
      rc = -1;
    }
    return rc;
  } catch (const std::bad_alloc&) {
    debug_log('C', 0, "No memory to read the configuration");
    return -1;
  }
}

}  // namespace zentsd
