// error_status.cpp - status codes: encoding, text form and error slots.
#include "base/error_status.h"

#include <cstdio>
#include <cstring>

#include "base/debug_log.h"
#include "base/panic.h"
#include "base/task_kernel.h"

namespace {

ErrorStatus g_process_error = 0;

const char* module_prefix(int module) {
  switch (module) {
    case ERR_MOD_VOL: return "VOL";
    case ERR_MOD_BT: return "BT";
    case ERR_MOD_SC: return "SC";
    default: return "?";
  }
}

const char* severity_letter(int severity) {
  switch (severity) {
    case ERR_SEV_E: return "E";
    case ERR_SEV_R: return "R";
    default: return "?";
  }
}

char module_letter(int module) {
  switch (module) {
    case ERR_MOD_VOL: return 'V';
    case ERR_MOD_BT: return 'B';
    case ERR_MOD_SC: return 'O';
    default: return 'S';
  }
}

}  // namespace

void set_error(int module, int severity, int code, const char* file, int line) {
  ZENT_ASSERT(module >= 0 && module < 64);
  ZENT_ASSERT(severity >= 0 && severity < 4);
  ZENT_ASSERT(code >= 0 && code < 256);
  const char letter = module_letter(module);
  const int level = letter == 'S' ? 0 : (severity == ERR_SEV_E ? 1 : 2);
  if (debug_enabled(letter, level)) {
    const char* slash = file ? strrchr(file, '/') : nullptr;
    debug_log(letter, level, "%s%s%03d: file %s, line %d", module_prefix(module),
              severity_letter(severity), code, slash ? slash + 1 : (file ? file : "?"), line);
  }
  thread_set_error(make_error_status(module, severity, code));
}

void thread_set_error(ErrorStatus status) {
  if (Task* t = thread_self(); t != nullptr)
    t->error = status;
  else
    g_process_error = status;
}

ErrorStatus thread_get_error() {
  if (const Task* t = thread_self(); t != nullptr) return t->error;
  return g_process_error;
}

ErrorStatus get_error() { return thread_get_error(); }

const char* format_error(ErrorStatus status) {
  static char text[32];
  snprintf(text, sizeof text, "%s%s%03d", module_prefix(error_module(status)),
           severity_letter(error_severity(status)), error_code(status));
  return text;
}

const char* error_text() { return format_error(get_error()); }
