// syserr.h - the text of a system error number.
#pragma once
#include <cstddef>

namespace platform {

// Writes the system's text for errno value err into buf (always terminated).
// Returns false, leaving "No system message" in buf, when the system has none.
bool sys_error_text(int err, char* buf, size_t size);

}  // namespace platform
