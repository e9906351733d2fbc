// backup_redirect.h - on-line backup redirection: while backup mode is on,
// every write of a DATA volume page goes to a page of a LOG volume (and
// reads of that page come from there), and volume extensions are deferred,
// so that the DATA files stay as they were for an outside copy. Both kinds
// of change are logged (opcodes 19 and 20) and restated at every
// checkpoint, so that recovery needs only the log since the last one. The
// end of backup writes the pages home and carries the extensions out.
//
// Owners: this module owns the redirection mode, the o_page -> r_page hash
// and the list of deferred extensions. Context: tasks of the server
// thread. Vol_BeginRedirection runs under the exclusive API lock that the
// freeze takes; Vol_EndRedirection holds checkpoints off while it copies
// pages home and yields its task every 25 pages. Lookups allocate nothing.
#pragma once
#include <cstdint>

#include "storage/node.h"
#include "storage/volume_format.h"

struct Tlog_TAGREC;

enum { Vol_REDIR_OFF = 0, Vol_REDIR_ON = 1, Vol_REDIR_ENDING = 2 };

// Sizes the hash for ntable_entries entries (at least 1). 0, or -1.
int Vol_InitRedirectionHash(int ntable_entries);
void Vol_CleanupRedirectionHash();
int Vol_RedirectionHashSize();
int Vol_RedirectionMode();
// Redirections in force now (tests, status pages).
uint32_t Vol_NumRedirections();
// Whether page holds the LOG copy of a redirected page now (tests: a scan
// of the whole hash).
bool Vol_IsRedirectCopy(Vol_PAGEADDR page);

// Starts backup mode: freezes the log, flags the volumes. 0, or -1 (already
// on, or the freeze failed).
int Vol_BeginRedirection();
// Stops backup mode: carries out the deferred extensions, writes every
// redirected page home, clears the flags and takes a checkpoint, so that no
// later crash replays a LOG copy over a newer home page. 0 or -1.
int Vol_EndRedirection();

// The volume (and, through *page, the page number) that holds page of vol
// while vol is in backup mode; with a tag record a write gets a new copy,
// and *fresh says so: the writer writes it, then logs it with
// Vol_LogRedirectedCopies. None, with status 20, when a write needs a LOG
// page and none can be had.
VOLUME* Vol_RedirectPage(VOLUME* vol, uint32_t* page, Tlog_TAGREC* tag, bool* fresh = nullptr);
// After the writes of new copies of the pages o_pages[0..count): makes the
// copies durable, then appends their opcode-20 records to tag.
void Vol_LogRedirectedCopies(Tlog_TAGREC* tag, const Vol_PAGEADDR* o_pages, int count);
// Flushes the LOG volumes, where the pages of redirected volumes live.
void Vol_FlushRedirectedCopies(int tio_mode);

// A root tag record around redirected writes whose caller gave none: opened
// before the first page, flushed and released after the last. Failures are
// fatal with the caller's names in the message.
Tlog_TAGREC* Vol_OpenRootTagRecord(const char* caller);
void Vol_CloseRootTagRecord(Tlog_TAGREC* tag, const char* caller);

// Forgets the redirection of a page being freed; its LOG copy is freed at
// the next checkpoint.
void Vol_RemoveRedirectedPage(Vol_PAGEADDR page);
// Records an extension of vol made in backup mode: added pages from
// old_size on, the last flist_pages of its in-memory free-list chain new.
void Vol_LogExtendAction(VOLUME* vol, uint32_t old_size, uint32_t added, uint32_t flist_pages);
// At each checkpoint: logs every deferred extension and redirection again.
void Vol_LogAllRedirActions();

// Redo handlers of opcodes 20 and 19, and their registration in the log's
// backup redo tables.
int Vol_RecoverRedirection(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
int Vol_RecoverExtendAction(Node* node, const void* data, uint32_t size, const Node_ADDR* pos);
void Vol_RegisterRedirectHandlers();
