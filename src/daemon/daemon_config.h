// daemon_config.h - the session daemon's configuration: the section
// "config" of zentsd.cfg with the share table and the user table it names.
//
// Every key is read with IniGetString and checked by its rule; a bad value
// is logged ("Bad config value: key=\"...\" (ignored)", letter C) and the
// key keeps its fallback. Numbers are whole decimal numbers with nothing
// after them. Only a share or user file that cannot be read fails the
// configuration. Loaded once per process before connections are served.
#pragma once
#include <cstdint>
#include <string>

#include "daemon/share_cfg.h"
#include "daemon/user_cfg.h"

namespace zentsd {

inline constexpr int kMaxTimeout = 2147483;             // seconds a poll can wait
inline constexpr uint32_t kDefaultMaxFileSize = 64u << 20;  // FileLoad's cap
inline constexpr uint32_t kMaxMaxFileSize = 1u << 30;
inline constexpr int kMaxChildren = 126;  // client handlers the wait list holds

struct DaemonConfig {
  std::string service;       // `service`
  std::string service_http;  // `serviceHTTP`, "" none
  int use_keep_alive = 0;    // `useKeepAlive`
  int timeout = 0;           // `timeout`, seconds, 0 none
  int http_frame = 0;        // `httpFrame`
  std::string http_user;     // `httpUSER`, "" unset
  std::string http_pswd;     // `httpPSWD`, "" unset
  std::string tmp_dir;       // `tmpDir`, "" unset
  int panic = 0;             // `panic`: 0 exit, 1 dump
  std::string lang;          // `lang`
  std::string messages;      // `messages`
  std::string charset;       // `charset` as configured ("default" when bad)
  int charset_id = -1;       // its id
  int auth_policy = 1;       // `AuthPolicy`: 1 server
  std::string user_file;     // `userFile`
  std::string share_file;    // `shareFile`
  std::string default_uid;   // `DefaultUID`, "" unset
  std::string log_file;      // `logFile`, "" unset
  std::string log_flags;     // `logFlags`
  int max_users = 40;        // `MaxUsers`
  int max_tasks = 20;        // `MaxTasks`
  int max_remote = 20;       // `MaxRemote`
  std::string date_fmt;      // `DateFmt`
  std::string time_fmt;      // `TimeFmt`
  uint32_t max_file_size = kDefaultMaxFileSize;  // `maxFileSize`: FileLoad's cap in bytes
  int logon_timeout = 30;    // `logonTimeout`: seconds from the connect to a logon
  int reserved_slots = 32;   // `reservedSlots`: handler slots only logged-on connections fill
  ShareCFG shares;
  UserCFG users;
};

// Reads the configuration file at path (none: zentsd.cfg in the
// installation's etc directory) into cfg, which starts from its defaults.
// 0, or -1 when the share or user file cannot be read ("Unable to open
// file: ..." logged).
int daemon_config_load(const char* path, DaemonConfig* cfg);

// Parses a whole decimal number within [min, max]; false for anything else
// (a sign, blanks, trailing text, overflow).
bool parse_number(const char* text, long min, long max, long* out);

}  // namespace zentsd
