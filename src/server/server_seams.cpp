// server_seams.cpp - stand-ins for services not yet built (see
// server_seams.h). Services the server cannot run without fail with a log
// line; storage steps succeed without doing anything, so that the server
// frame can be run and stopped before the storage engine exists.
#include "server/server_seams.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/server_config.h"

namespace {
void not_built(const char* what) { debug_log('D', 0, "%s: not yet built", what); }
void storage_not_built(const char* what) {
  debug_log('D', 1, "storage engine not yet built: %s skipped", what);
}
}  // namespace

// --- Configuration (not yet built): defaults, no volumes. ---------------
CfgRecord* LoadConfig(const char* path) {
  not_built("LoadConfig");
  auto* cfg = static_cast<CfgRecord*>(calloc(1, sizeof(CfgRecord)));
  cfg->path = strdup(path ? path : "zentdb6.cfg");
  cfg->server = static_cast<SrvConfig*>(calloc(1, sizeof(SrvConfig)));
  cfg->server->service = strdup("zentdb");
  cfg->server->service_http = strdup("");
  cfg->server->use_keep_alive = 1;
  cfg->server->panic = CFG_PANIC_RESTART;
  cfg->server->sync_mode = 1;
  cfg->server->log_mode = CFG_LOG_FILE;
  cfg->server->charset = 1;
  cfg->server->charset_name = strdup("ISO8859/1");
  cfg->limits = static_cast<SrvLimits*>(calloc(1, sizeof(SrvLimits)));
  cfg->limits->threads = 40;
  cfg->limits->io_threads = 4;
  cfg->limits->buffer_cache = 5;
  cfg->limits->checkpt_freq = 60;
  cfg->limits->checkpt_size = 10;
  cfg->limits->syncer_freq = 5;
  cfg->volumes = static_cast<CfgItemList*>(calloc(1, sizeof(CfgItemList)));
  return cfg;
}

void FreeConfig(CfgRecord* cfg) {
  if (cfg == nullptr) return;
  free(cfg->path);
  if (cfg->server) {
    free(cfg->server->service);
    free(cfg->server->service_http);
    free(cfg->server->charset_name);
    free(cfg->server);
  }
  free(cfg->limits);
  free(cfg->volumes);
  free(cfg);
}

// --- Network frame (not yet built) ---------------------------------------
void master_set_add(int) {}
void master_set_remove(int) {}
void notify_event(const char*) {}
int bg_tcp_thread_start() { return ENOSYS; }
void idle_thread() {}
void ps_thread() {}
void syncer_thread() {}
void checkpoint_thread() {}
void http_thread() {}
void sessions_close_all() {}

// --- Storage engine (not yet built) --------------------------------------
void Vol_SetLargeFileMode(int) {}
int Vol_Open(int, const char* const*) { storage_not_built("Vol_Open"); return 0; }
int Vol_HasLogVolume() { return 1; }
int Vol_SetSyncMode(int) { return 0; }
int tio_setup() { return 0; }
void tio_cleanup() {}
int buf_Init(int) { return 0; }
void buf_Exit() {}
int Tlog_Init() { return 0; }
int FixRec_Init() { return 0; }
int btree_Init() { return 0; }
int Tlog_Recover() { return 0; }
int Tlog_Checkpoint(const char* reason) { storage_not_built(reason); return 0; }
int Vol_ClearRedirectFlags(int) { return 0; }
int SysCat_open() { return 0; }
int SysCat_close() { return 0; }
int Vol_InitStatistics() { return 0; }
void VNode_Flush() {}
void VNode_Cleanup() {}
int Vol_Sync(int) { return 0; }
int Vol_SetConsistent() { return 0; }
int Vol_Close() { return 0; }
void Vol_Free() {}
int Tlog_ApiLock() { return 0; }
