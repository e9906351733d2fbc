// backup_seams.h - the calls page I/O makes into on-line backup redirection
// and the transaction log's tag records. NOT YET BUILT: these are stand-ins
// until the backup redirection and the log exist; the step that builds them
// deletes this file and its .cpp and includes the real headers instead.
//
// Nothing sets Vol_REDIRECT_PAGES before backup redirection exists, so page
// I/O never takes the redirected road yet; the stand-ins for that road stop
// the process if it ever is taken.
#pragma once
#include <cstdint>

#include "storage/volume_format.h"

struct Tlog_TAGREC;

// Sizes the redirection hash for ntable_entries entries. 0, or -1.
int Vol_InitRedirectionHash(int ntable_entries);
void Vol_CleanupRedirectionHash();

// The volume (and, through *page, the page number) that holds page of vol
// while vol is in backup mode; with a tag record a write gets a new copy.
VOLUME* Vol_RedirectPage(VOLUME* vol, uint32_t* page, Tlog_TAGREC* tag);

// A root tag record around redirected writes whose caller gave none: opened
// before the first page, flushed and released after the last. Failures are
// fatal with the caller's names in the message.
Tlog_TAGREC* Vol_OpenRootTagRecord(const char* caller);
void Vol_CloseRootTagRecord(Tlog_TAGREC* tag, const char* caller);

// Called by the volume set for volumes in backup mode (Vol_REDIRECT_PAGES):
// forget the redirection of a page being freed (its LOG copy is freed at the
// next checkpoint), and record an extension whose files must stay as they
// are until backup ends (added pages from old_size on, the last
// flist_pages of the in-memory free-list chain being new).
void Vol_RemoveRedirectedPage(Vol_PAGEADDR page);
void Vol_LogExtendAction(VOLUME* vol, uint32_t old_size, uint32_t added, uint32_t flist_pages);

// At each checkpoint: logs every redirection and deferred extension again.
// Nothing is ever redirected before backup redirection exists, so the
// stand-in has nothing to log.
void Vol_LogAllRedirActions();
