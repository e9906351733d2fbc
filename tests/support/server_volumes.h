// server_volumes.h - a volume set the server can start on, made as the
// utilities make one: spacenew's creation path (root DATA volume, system
// pool, server catalog with its first rows) and a LOG volume added through
// spacegrow's.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "storage/node.h"

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

// On the open set, starts what a server writes through, in its order: a
// cache of 64 pages, the log, the record files, the B-trees, the system
// pool and the log's root node. 0 or -1.
int start_server_storage();
// A fixed-record file of count records of size bytes (record i, from 1,
// all 'a' + i) put in transaction tx and committed: its node, closed
// again; none on a failure.
Node* add_record_file(Node* tx, uint32_t size, uint32_t count);

}  // namespace testsupport
