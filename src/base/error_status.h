// error_status.h - status codes of the storage engine, the B-tree and the
// system catalog, and the error slot that holds the last one set.
//
// A failing function stores its code with SET_ERROR and returns its failure
// result; callers read the slot (get_error, error_text) when they log or
// pass the failure on. Each task has a slot of its own; a process-wide slot
// serves while no task runs (start-up, close-down, outside the kernel).
// Nothing clears a slot. Server thread only.
#pragma once
#include <cstdint>

// ((module << 2 | severity) << 8) | code; 0 = no error recorded.
using ErrorStatus = uint32_t;

enum ErrorModule { ERR_MOD_VOL = 0, ERR_MOD_BT = 1, ERR_MOD_SC = 2 };
enum ErrorSeverity { ERR_SEV_E = 0, ERR_SEV_R = 1 };

constexpr ErrorStatus make_error_status(int module, int severity, int code) {
  return (static_cast<ErrorStatus>(module << 2 | severity) << 8) | static_cast<ErrorStatus>(code);
}
constexpr int error_module(ErrorStatus status) { return static_cast<int>(status >> 10) & 63; }
constexpr int error_severity(ErrorStatus status) { return static_cast<int>(status >> 8) & 3; }
constexpr int error_code(ErrorStatus status) { return static_cast<int>(status & 0xff); }

// Logs the code (see README.md for letter and level) and stores it in the
// current slot. module 0..63, severity 0..3 and code 0..255, else a fatal
// assertion: callers pass constants.
void set_error(int module, int severity, int code, const char* file, int line);
#define SET_ERROR(module, severity, code) set_error((module), (severity), (code), __FILE__, __LINE__)

void thread_set_error(ErrorStatus status);
ErrorStatus thread_get_error();
ErrorStatus get_error();

// "%s%s%03d": module prefix (VOL, BT, SC or ?), severity letter (E, R or ?)
// and code, e.g. VOLE027. One static buffer, overwritten by the next call.
const char* format_error(ErrorStatus status);
// format_error(get_error()).
const char* error_text();
