// server_volumes.h - a volume set the server can start on, made as the
// utilities make one: spacenew's creation path (root DATA volume, system
// pool, server catalog with its first rows) and a LOG volume added through
// spacegrow's.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

// The set at root_path with a LOG volume "log.vol" in the same directory,
// written through the file layer in use, closed clean. Returns the lines
// of the [Volumes] section that name the files, or "" on a failure. No
// volume set may be open in the calling process.
std::string write_server_volumes(const std::string& root_path);

// Opens the set of paths (the root first), creates its system pool and
// server catalog, and closes it with its clean-close flag as it was: for
// sets the utilities cannot make (written by the volume fixture, not
// closed cleanly). 0 or -1.
int add_server_catalog(const std::vector<std::string>& paths);

}  // namespace testsupport
