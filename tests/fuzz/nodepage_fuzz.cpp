// Fuzz target: the pages the consistency check reads from a set's nodes.
// A set made once by the environment creator (system pool, catalog tables
// and their B-trees) lives on the in-memory file double; each input is
// written over one of its pages and spacecheck runs read-only on it. The
// first byte picks the page (the first node page, the system pool's
// used-cluster list page, or the first page of the first B-tree), the
// second whether the 8-byte page header stays; the rest replaces the page
// from there on. The check must end with status 0, 1 or 3 (never a crash,
// a read outside a buffer or a loop) and write nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "platform/fault_file.h"
#include "storage/node_format.h"
#include "storage/volume_format.h"
#include "tools/env_create.h"
#include "tools/space_check.h"

namespace {

const char* const kRoot = "/fuzz/root.vol";

struct Set {
  platform::FaultFileSystem fs;
  std::vector<uint8_t> pristine;
  uint32_t pages[3] = {};  // page numbers of the targets
};

const uint8_t* page_at(const std::vector<uint8_t>& file, uint32_t page) {
  return file.data() + static_cast<size_t>(page) * Vol_PAGESIZE;
}

int run_check() {
  SpaceCheck_IO io;
  io.out = [](const std::string&) {};
  io.err = [](const std::string&) {};
  io.read_line = [](std::string*) { return false; };
  return SpaceCheck_Run({kRoot}, SpaceCheck_OPTIONS{}, io, nullptr);
}

Set* make_set() {
  auto* s = new Set;
  // The check's log lines are not what is tested.
  debug_set_stream(fopen("/dev/null", "w"));
  platform::set_file_system(&s->fs);
  EnvCreateSpec spec;
  spec.path = kRoot;
  if (Env_Create(spec) != 0) abort();
  s->pristine = s->fs.contents(kRoot);
  VOLUME v;
  Vol_DecodeDescriptor(page_at(s->pristine, Vol_DESC_PAGE), &v);
  const uint32_t node_page = PAGE_NUMBER(v.first_page);
  s->pages[0] = s->pages[1] = s->pages[2] = node_page;
  const uint8_t* np = page_at(s->pristine, node_page);
  bool have_tree = false;
  for (int i = 0; i < Node_PAGE_NUMITEMS; ++i) {
    const Node_DESC d = Node_DecodeDesc(np + Node_SlotOffset(i));
    if (d.node_id == 0 || d.ulist.head == 0) continue;
    const uint8_t* lp = page_at(s->pristine, PAGE_NUMBER(d.ulist.head));
    const Node_ILIST h = Node_DecodeIlist(lp);
    if (d.node_id == 1) s->pages[1] = PAGE_NUMBER(d.ulist.head);
    if (d.node_type == 0x4254 && !have_tree && h.first_item < h.last_item) {
      s->pages[2] = PAGE_NUMBER(Node_GetItem(lp, static_cast<int>(h.first_item)).id);
      have_tree = true;
    }
  }
  if (run_check() != 0) abort();  // the untouched set is sound
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Set* set = make_set();
  if (size < 2) return 0;
  const uint32_t page = set->pages[data[0] % 3];
  const size_t from = (data[1] & 1) != 0 ? Vol_PGHEADER_SIZE : 0;
  std::vector<uint8_t> file = set->pristine;
  uint8_t* p = file.data() + static_cast<size_t>(page) * Vol_PAGESIZE;
  const size_t n = std::min(size - 2, static_cast<size_t>(Vol_PAGESIZE) - from);
  std::memcpy(p + from, data + 2, n);
  set->fs.put_file(kRoot, file);
  const int status = run_check();
  if (status != 0 && status != 1 && status != SpaceCheck_PROBLEMS_FOUND) abort();
  // Read-only: the file is as the input left it.
  if (set->fs.contents(kRoot) != file) abort();
  return 0;
}
