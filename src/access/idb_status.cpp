// idb_status.cpp - the session's error record and the failure fill of the
// status array (see idb_status.h).
//
// State: none of its own; the record lives in the session. Nothing here
// suspends or allocates.
#include "access/idb_status.h"

#include "base/debug_log.h"
#include "base/error_status.h"

void idb__set_code(idb_session* s, const char* name, int32_t code, int32_t sub_code,
                   const char* file, int line) {
  if (s != nullptr) s->error = idb_error{code, file, line, sub_code};
  debug_log('I', 2, "%s (%d,%d), file %s, line %d", name, static_cast<int>(code),
            static_cast<int>(sub_code), file, line);
}

int32_t idb__lower_status() { return static_cast<int32_t>(get_error()); }

void idb__clear_blocking(idb_session* s) {
  s->ssn.wait_node = nullptr;
  s->ssn.wait_key = 0;
  s->ssn.wait_file = nullptr;
  s->ssn.wait_line = 0;
}

int idb__fail_status(idb_session* s, int32_t code, int32_t* status) {
  if (code == -1) {
    status[0] = s->error.code;
    status[9] = s->error.sub_code;
  } else {
    status[0] = code;
    status[9] = 0;
    s->error.code = code;
  }
  status[4] = 0;
  status[6] = 0;
  status[7] = 0;
  idb__clear_blocking(s);
  return -1;
}
