// backup_seams.cpp - stand-ins for on-line backup redirection and the log's
// tag records (not yet built; see backup_seams.h).
#include "storage/backup_seams.h"

#include "base/debug_log.h"
#include "base/panic.h"

namespace {
[[noreturn]] void not_built(const char* what) {
  debug_log('V', 0, "%s: on-line backup redirection not yet built", what);
  panic_assert_failed("on-line backup redirection not yet built", __FILE__, __LINE__);
}
}  // namespace

// The hash is part of backup redirection; nothing to size until it exists.
int Vol_InitRedirectionHash(int) { return 0; }
void Vol_CleanupRedirectionHash() {}

VOLUME* Vol_RedirectPage(VOLUME*, uint32_t*, Tlog_TAGREC*) { not_built("Vol_RedirectPage"); }

Tlog_TAGREC* Vol_OpenRootTagRecord(const char* caller) { not_built(caller); }

void Vol_CloseRootTagRecord(Tlog_TAGREC*, const char* caller) { not_built(caller); }

void Vol_RemoveRedirectedPage(Vol_PAGEADDR) { not_built("Vol_RemoveRedirectedPage"); }

void Vol_LogExtendAction(VOLUME*, uint32_t, uint32_t, uint32_t) { not_built("Vol_LogExtendAction"); }

void Vol_LogAllRedirActions() {}
