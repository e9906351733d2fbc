// volume_fixture.h - writes volume sets for tests with the format encoders,
// through the file layer in use (the real file system or the test double).
//
// A fixture set is what the creation utilities will write: every descriptor
// copy, every free-list page, all maps in step with the volume types, each
// file flushed and its directory synced, so the set survives a power loss.
// Files on the real file system are sparse: only the pages the set reads at open
// are written. Helpers beside it patch single fields or bytes of a file
// without any check, so tests can build damaged files.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/volume_format.h"

namespace testsupport {

struct VolumeSpec {
  std::string path;
  uint32_t type = VolType_DATA;
  uint32_t size = Vol_MINPAGES;
  uint32_t ext_size = 0;
  uint32_t max_size = 0;
  // Write the last page too, so the file has its full length (sparse on a
  // real file system; memory in the test double).
  bool full_length = true;
};

struct VolumeSetSpec {
  // Volume id i is volumes[i]; volume 0 is the root and must be DATA.
  std::vector<VolumeSpec> volumes;
  uint32_t set_id = 0x5A17C0DE;
  uint32_t generation = 1;
  bool consistent = true;  // the root's clean-close flag
};

// Writes the whole set; 0, or the errno value of the first failure.
int write_volume_set(const VolumeSetSpec& spec);

// Decodes copy (0 or 1) of path's descriptor without checks, lets edit
// change it, and writes it back. 0 or an errno value.
int patch_descriptor(const std::string& path, int copy, const std::function<void(VOLUME&)>& edit);
// Reads or rewrites one page (8192 bytes) of a file. 0 or an errno value.
int read_page(const std::string& path, uint32_t page, std::vector<uint8_t>* out);
int write_page(const std::string& path, uint32_t page, const std::vector<uint8_t>& bytes);
// Whether the root volume's first descriptor copy carries the clean-close
// mark (false when it cannot be read).
bool root_marked_consistent(const std::string& path);

}  // namespace testsupport
