// set_check.h - the crash harness's last word: the consistency check run in
// process on a recovered and closed set, through the file layer in use (the
// power-loss double in the crash tests). Any problem it reports fails the
// test, but for the record free lists the server mends as it runs (records
// in use or listed twice); the report goes into the failure message.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

// Checks the closed set of paths read-only. True when the check opened the
// set and found nothing; else a non-fatal failure naming at, with the
// check's report, and false. With leaks, a set closed clean must also hold
// no page in use that no node claims; the few sweeps that pass false still
// leave such pages (listed in the storage README).
bool expect_set_consistent(const std::vector<std::string>& paths, const std::string& at,
                           bool leaks = true);

}  // namespace testsupport
