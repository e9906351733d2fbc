// service_frame.h - the process entry that the server (zentdb6) and the
// session daemon (zentsd) share, and its ties to the service manager
// (systemd, see platform/service_manager.h): install and remove with the
// event-log source values, the service run with its status reports and
// controls, the stand-alone console run, the server thread that runs the
// program's main with arguments from the command line or from the stored
// CommandLine value ("-save" stores them), cooperative pause and continue,
// and the registry wrappers. Each program describes itself in a
// ServiceProgram: its default name, log letter, main, how it is stopped,
// and a mode of its own (the daemon's client-handler run).
//
// The frame runs on the process's main thread; the program's main runs on a
// server thread of its own. Controls (signals) are read by the frame thread
// from a signal descriptor in its wait list, so nothing runs in signal
// context. src/server/README.md walks through a start and a stop.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "server/wait_list.h"

// The name field holds 31 characters and its terminating zero.
inline constexpr int kServiceNameSize = 32;
// Longest stored command line, in characters, and most words it may hold.
inline constexpr int kCommandLineMax = 1024;
inline constexpr int kCommandLineWords = 98;
inline constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
// The event-log source written at install: the program as message file,
// every event type, and one category per log letter.
inline constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
inline constexpr uint32_t kEventTypesSupported = 7;
inline constexpr uint32_t kEventCategoryCount = 26;

// Process status when the frame ends the process while the server thread
// still runs (a cancelled or failed stop wait): no clean-up touches shared
// state, and the next start recovers what the server held.
inline constexpr int kAbandonedStatus = 3;

enum ServiceState {
  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,
  SERVICE_PAUSED = 7,
};

// What a program brings to the frame.
struct ServiceProgram {
  const char* default_name;  // the service name before an alias
  int letter;                // log letter of the frame's lines
  // The program's main on the server thread; its result is the run's status.
  int (*main)(int argc, char** argv, int interactive);
  // Asks the server thread to stop (attempt 1, 2, ...) and returns how many
  // milliseconds to wait for it before asking again.
  int (*stop_request)(int attempt);
  // After the server thread has ended, last thing of a run.
  void (*atexit)();
  // The server's stop loop: stop pending is reported with the wait, and a
  // console run on a terminal asks whether to go on waiting. Without it a
  // stop reports stop pending once and waits for the server thread.
  bool stop_loop;
  // The question the stop loop asks on a terminal.
  const char* shutdown_text;
  // A console run without arguments takes the stored ones too (else only
  // the service run does).
  bool console_reads_stored;
  // The stopped report carries the run's status (else the kept error only).
  bool report_status;
  // SIGCHLD is taken with the controls and handed to this (the frame
  // thread); none leaves it alone.
  void (*children_ended)();
  // A mode of the program's own: "-<word> ..." runs it with the whole
  // argument vector; none when the program has none.
  const char* own_mode;
  int (*own_run)(int argc, char** argv);
};

// The process entry: "-install [alias]", "-remove [alias]", "-standalone
// [options]", the program's own mode ('/' in place of '-', any case), no
// arguments for the service run. Returns the process status: install and
// remove 0, 1 or 2 (already installed), usage 1, otherwise the run's.
int service_frame_run_program(const ServiceProgram& program, int argc, char** argv);

// Usage lines on standard output.
void PrintServiceUsage(const char* program);
// An alias replaces the current name; every blank becomes '_'; at most 31
// characters are kept. None keeps the current name.
void SetServiceName(const char* alias);
const char* GetServiceName();
// The file-name part of path (after the last '/'), as given, cut to size -
// 1. A dot is kept: "db.prod" is a name of its own, not "db".
void ExtractBaseName(const char* path, char* buf, int size);
// Reports a state to the service manager: 1, or 0 after the fatal error
// "reporting service status failed on SetServiceStatus()".
int ReportStatusToSCMgr(int state, int exit_code, int checkpoint, int wait_hint);
// Logs "%s fatal error: %s, %d: %s" with errno, keeps errno as the exit
// code and wakes the frame; a server thread that still runs is stopped
// first.
void service_fatal_error(const char* text);
inline void ReportFatalError(const char* text) { service_fatal_error(text); }

// Registry wrappers: lengths or 0 on success, -1 with errno.
int ReadRegistryString(platform::RegistryRoot root, const char* key, const char* name, char* buf,
                       int size);
int WriteRegistryString(platform::RegistryRoot root, const char* key, const char* name,
                        const char* data);
// Stored as decimal text.
int WriteRegistryDword(platform::RegistryRoot root, const char* key, const char* name,
                       uint32_t value);
int DeleteRegistryValue(platform::RegistryRoot root, const char* key, const char* name);
int DeleteRegistryKey(platform::RegistryRoot root, const char* key);

// Splits a stored command line: blanks, tabs and newlines separate words; a
// pair of double or single quotes groups a word and is removed; a backslash
// makes the next character literal.
std::vector<std::string> service_split_arguments(const char* text);
// Joins words so that service_split_arguments gives them back: each in
// double quotes with '\' and '"' escaped, separated by one blank. False
// (text untouched) when the result would exceed kCommandLineMax characters
// or kCommandLineWords words.
bool service_join_arguments(const std::vector<std::string>& words, std::string* text);

// Pause and continue are cooperative: the flag is set and cleared by the
// frame; the server looks at it where it is safe to wait.
int service_paused();
// Returns at once when not paused, else when continued or stopped. The
// server thread calls it where it holds nothing another thread waits for.
void service_pause_point();

// The running frame's wait list (the frame's own entries, then what the
// program adds); it stays valid for the process's life, and every change
// after the run's clean-up fails.
WaitList* service_wait_list();
// True once a stop was asked for (a control, a fatal error); cleared at the
// start of a run.
bool service_stop_requested();
