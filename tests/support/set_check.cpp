// set_check.cpp - runs the consistency check for the crash tests.
#include "support/set_check.h"

#include <gtest/gtest.h>

#include "tools/space_check.h"

namespace testsupport {

bool expect_set_consistent(const std::vector<std::string>& paths, const std::string& at,
                           bool leaks) {
  std::string report;
  SpaceCheck_IO io;
  io.out = [&](const std::string& s) { report += s; };
  io.err = [&](const std::string& s) { report += s; };
  // Read-only: no question is ever asked.
  io.read_line = [](std::string*) { return false; };
  SpaceCheck_RESULT result;
  SpaceCheck_OPTIONS options;
  options.leaks = leaks;
  const int status = SpaceCheck_Run(paths, options, io, &result);
  // Record free lists that still offer records taken since the last
  // checkpoint are the engine's state after every restart: its puts pass
  // over them.
  const bool finished = status == 0 || status == SpaceCheck_PROBLEMS_FOUND;
  if (finished && result.problems == result.mended_at_run_time) return true;
  ADD_FAILURE() << at << ": the consistency check of the closed set found "
                << result.problems - result.mended_at_run_time << " problem(s) (status " << status
                << "):\n"
                << report;
  return false;
}

}  // namespace testsupport
