// event_log.h - the system log, where messages go when no log stream is set.
//
// syslog(3) with the service name as ident. Levels map 0 to error, 1 to
// information, 2 and above to debug.
#pragma once

namespace platform {

// Sets the ident under which later messages are reported (copied).
void event_log_set_source(const char* name);
// Reports one message as "[pid] text". The category is the log letter's
// position (1..26) and is kept for callers; syslog has no field for it.
void event_log_report(int level, int category, int pid, const char* text);

}  // namespace platform
