// service_manager.h - the service control manager's stand-in: systemd.
//
// A service is a unit file "<name>.service" (the name escaped the way
// systemd escapes unit names) in /etc/systemd/system, or in the directory
// that ZENTRIM_UNIT_DIR names. The unit starts the program without
// arguments, with ZENTRIM_SERVICE_NAME telling it its name, as a
// notify-type service: the program reports its states as datagrams to the
// socket in NOTIFY_SOCKET (the sd_notify protocol, spoken directly).
// Controls arrive as signals: SIGTERM or SIGINT stop, SIGTSTP pauses,
// SIGCONT continues, SIGHUP asks for the state again (in a console run it
// stops: the terminal went away).
#pragma once
#include <cstddef>

namespace platform {

inline constexpr const char* kServiceNameEnv = "ZENTRIM_SERVICE_NAME";
inline constexpr const char* kUnitDirEnv = "ZENTRIM_UNIT_DIR";

// True when systemd started this process as a notify service (both
// NOTIFY_SOCKET and INVOCATION_ID set and not empty).
bool service_started_by_manager();

// Sends one status message ("READY=1\nSTATUS=..."). 0, or -1 with errno
// (ENOTCONN when no notify socket is known).
int service_notify(const char* text);

// Names a unit file may carry: 1 to 31 printable characters, no '/', '\',
// quotes, '%', '$' or '`', and not beginning with '.'.
bool service_name_valid(const char* name);

// Path of the service's unit file into buf; false (errno ENAMETOOLONG or
// EINVAL) when it cannot be given.
bool service_unit_path(const char* name, char* buf, size_t size);
// Writes the unit file; an existing one is left alone (errno EEXIST). The
// file appears whole or not at all. 0 or -1 with errno.
int service_unit_create(const char* name, const char* program);
// 0 when the unit file exists, else -1 with errno.
int service_unit_exists(const char* name);
int service_unit_delete(const char* name);

// Children: a child process ended (SIGCHLD), for a program that takes them.
enum class ServiceControl { Stop, Pause, Continue, Interrogate, Children };

// Blocks the control signals in the calling thread (call it before any other
// thread starts) and returns a descriptor that turns readable when one
// arrives; a stand-alone run takes only SIGINT, SIGTERM and SIGHUP, each a
// stop. With children, SIGCHLD is taken too. -1 with errno.
int service_controls_open(bool service_mode, bool children = false);
// Takes one pending control; false when none was pending.
bool service_control_read(int fd, ServiceControl* control, int* signo);

}  // namespace platform
