// server_config.h - the parsed zentdb6.cfg: sections Server, Config, Volumes
// and Devices, read once at start-up into one CfgRecord.
#pragma once
#include <cstdint>

struct CfgItem {
  char* item;   // upper-cased by the INI reader
  char* value;
};

struct CfgItemList {
  int count;
  CfgItem* items;
};

enum CfgPanic { CFG_PANIC_RESTART = 1, CFG_PANIC_EXIT = 2, CFG_PANIC_DUMP = 3 };
enum CfgLogMode { CFG_LOG_CONSOLE = 0, CFG_LOG_SYSLOG = 1, CFG_LOG_FILE = 2 };

// Section Server.
struct SrvConfig {
  char* service;        // "zentdb"
  char* service_http;   // "" = no HTTP service
  int32_t timeout;
  int32_t use_keep_alive;
  int32_t no_dns;
  int32_t panic;        // CfgPanic
  int32_t enable_ipc;
  int32_t disable_scan;
  int32_t sync_mode;
  int32_t log_mode;     // CfgLogMode, derived from log_file
  char* log_file;       // none when not set
  char* log_flags;      // none when not set
  int32_t http_frame;
  char* http_user;
  char* http_pswd;
  int32_t charset;      // character-set id
  char* charset_name;   // canonical name
};

// Section Config.
struct SrvLimits {
  int32_t threads;
  int32_t io_threads;
  int32_t io_queue_size;
  int32_t io_use_thread_load;
  int32_t buffer_cache;
  int32_t reserved;
  int32_t checkpt_freq;
  int32_t checkpt_size;
  int32_t syncer_freq;
  int32_t syncer_nsync;
  int32_t lock_conflicting_items;
  int32_t allow_secondary_blocking_lock;
  int32_t use_large_file_mode;
};

struct CfgRecord {
  char* path;
  SrvConfig* server;
  SrvLimits* limits;
  CfgItemList* volumes;
  CfgItemList* devices;  // may be none
};

// Reads path, or zentdb6.cfg in the installation's etc directory when path
// is none. None when the file cannot be read or a section fails.
CfgRecord* LoadConfig(const char* path);
void FreeConfig(CfgRecord* cfg);
