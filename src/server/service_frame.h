// service_frame.h - the entry of zentdb6 and its ties to the service
// manager (systemd, see platform/service_manager.h): install and remove, the
// service run with its status reports and controls, the stand-alone console
// run, the server thread that runs server_main with arguments from the
// command line or from the stored CommandLine value, and the stop loop.
//
// The frame runs on the process's main thread; server_main runs on a server
// thread of its own. Controls (signals) are read by the frame thread from a
// signal descriptor in its wait list, so nothing runs in signal context.
// README.md in this directory walks through a start and a stop.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

inline constexpr const char* kDefaultServiceName = "QX ZentDB6";
// The name field holds 31 characters and its terminating zero.
inline constexpr int kServiceNameSize = 32;
inline constexpr const char* kShutdownTimeoutText =
    "The service did not yet succeed to shutdown.\n"
    "Choose Retry to continue waiting,\n"
    "or choose Cancel to shutdown immediately.";
// Longest stored command line, in characters.
inline constexpr int kCommandLineMax = 1024;
inline constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
// The event-log source written at install: the program as message file,
// every event type, and one category per log letter.
inline constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
inline constexpr uint32_t kEventTypesSupported = 7;
inline constexpr uint32_t kEventCategoryCount = 26;
// Process status when the frame ends the process while the server thread
// still runs (a cancelled or failed stop wait): no clean-up touches shared
// state, and the next start recovers the volumes.
inline constexpr int kAbandonedStatus = 3;

enum ServiceState {
  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,
  SERVICE_PAUSED = 7,
};

// What the frame runs: server_main, server_stop_request and
// win32_server_atexit unless a test program puts in its own.
struct ServiceServer {
  int (*main)(int argc, char** argv, int interactive);
  int (*stop_request)(int attempt);
  void (*atexit)();
};
void service_frame_set_server(const ServiceServer& server);

// The process entry: "-install [alias]", "-remove [alias]", "-standalone
// [options]" ('/' in place of '-', any case), no arguments for the service
// run. Returns the process status: install and remove 0, 1 or 2 (already
// installed), usage 1, otherwise server_main's status.
int service_frame_main(int argc, char** argv);

// Usage lines on standard output.
void PrintServiceUsage(const char* program);
// An alias replaces the default name; every blank becomes '_'; at most 31
// characters are kept. None keeps the current name.
void SetServiceName(const char* alias);
const char* GetServiceName();
// The file-name part of path (after the last '/'), as given, cut to size - 1.
void ExtractBaseName(const char* path, char* buf, int size);
// Reports a state to the service manager: 1, or 0 after the fatal error
// "reporting service status failed on SetServiceStatus()".
int ReportStatusToSCMgr(int state, int exit_code, int checkpoint, int wait_hint);
// Logs "%s fatal error: %s, %d: %s" with errno, keeps errno as the exit
// code and wakes the frame; a server thread that still runs is stopped
// through the stop loop first.
void service_fatal_error(const char* text);

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
// (text untouched) when the result would exceed kCommandLineMax characters.
bool service_join_arguments(const std::vector<std::string>& words, std::string* text);

// Pause and continue are cooperative: the flag is set and cleared by the
// frame; the server looks at it where it is safe to wait.
int service_paused();
// Returns at once when not paused, else when continued or stopped. The
// server thread calls it where it holds nothing another thread waits for:
// the idle task, after its wait, before it hands out socket events.
void service_pause_point();
