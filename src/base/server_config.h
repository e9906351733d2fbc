// server_config.h - the parsed zentdb6.cfg: sections Server, Config, Volumes
// and Devices, read once at start-up into one CfgRecord.
//
// LoadConfig reads every section whole and logs each item under 'A' before
// it decides: a bad value fails its section (and so the configuration) only
// after the rest of the file was read and logged. The record is handed over
// complete or not at all. Runs on the server thread at start-up; the record
// is read-only afterwards.
#pragma once
#include <climits>
#include <cstdint>

#include "base/ini_file.h"

inline constexpr const char* kConfigFileName = "zentdb6.cfg";
// Longest configuration path, terminating zero included; longer is refused.
inline constexpr int kConfigPathSize = 1024;

// Upper ends of the numeric ranges. Every value is stored in 32 bits, and the
// engine multiplies some of them: seconds become milliseconds, megabytes
// (BufferCache, CheckPtSize) become pages of 8192 bytes (x 128), and Threads
// gets six system task slots added. A value beyond its key's range is a bad
// value.
inline constexpr long kCfgMaxInt = INT32_MAX;
inline constexpr long kCfgMaxSeconds = INT32_MAX / 1000;
inline constexpr long kCfgMaxThreads = INT32_MAX - 6;
inline constexpr long kCfgMaxMegabytes = INT32_MAX / 128;

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
  int32_t max_handles;  // per connection and kind; 0: the default (1024)
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
// is none. None when the file cannot be read, the path is too long, or a
// section fails; the reasons are in the log.
CfgRecord* LoadConfig(const char* path);
void FreeConfig(CfgRecord* cfg);

// Records filled with the defaults; none when memory is short.
SrvConfig* SrvConfig_New();
SrvLimits* SrvLimits_New();
CfgItemList* CfgItemList_New();
void SrvConfig_Free(SrvConfig* srv);
void CfgItemList_Free(CfgItemList* list);

// Section readers on an open INI handle: the defaults (an empty list) when
// the section is missing, none on a read error or a bad value.
SrvConfig* ServerConfig(IniHandle* handle, const char* section);
SrvLimits* GetLimits(IniHandle* handle, const char* section);
CfgItemList* VolumeList(IniHandle* handle, const char* section);
CfgItemList* DeviceList(IniHandle* handle, const char* section);

// Replaces *field with a copy of value; an empty value is refused ("No value
// specified for %s") unless allowed. 0 or -1.
int ConfigString(const char* key, int allow_empty, char** field, const char* value);
// Stores the decimal value when it lies in minimum..maximum; else logs "Bad
// value specified for %s: \"%s\"". 0 or -1.
int ConfigInt(const char* key, long minimum, long maximum, int32_t* field, const char* value);
// Maps "Restart", "Exit" and "Dump" (any case) to CfgPanic; other text is
// logged and ignored, the field kept. Never fails.
void ConfigPanic(const char* key, int32_t* field, const char* value);
// A decimal number as the configuration reads it: leading white space
// skipped, an optional sign, digits, the rest ignored ("abc" reads as 0).
// False when the digits do not fit in a long (*out then holds the limit).
bool ConfigNumber(const char* text, long* out);
