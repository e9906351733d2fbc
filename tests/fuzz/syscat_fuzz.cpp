// Fuzz target: what the catalog reads from a volume. The input's first
// byte picks a table; the rest is split at a second byte into a stored
// description and a stored row. Each must be refused cleanly or read
// without touching a byte outside its buffer; a description that is read
// is packed again from a row that was read, and that row reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "index/syscat.h"
#include "index/syscat_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int kIds[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 22, 30, 31, 32, 33, 34, 35, 36};
  if (size < 2) return 0;
  const int sys_id = kIds[data[0] % (sizeof kIds / sizeof kIds[0])];
  const size_t split = size > 2 ? 2 + data[1] % (size - 1) : 2;
  const std::vector<uint8_t> descr(data + 2, data + (split < size ? split : size));
  const std::vector<uint8_t> row(data + (split < size ? split : size), data + size);
  const SysCat_TABLE_DESCR* statics = SysCat_StaticDescr(sys_id);
  SysCat_NODE_DESCR nd;
  if (unpack_node_descr(descr.data(), descr.size(), statics, &nd) != 0) return 0;
  SysCat_MAP entry{sys_id, statics, &nd, nullptr};
  void* r = SysCat_UnpackRow(&entry, row.data(), row.size());
  if (r == nullptr) return 0;
  std::vector<uint8_t> packed(70000);
  const int n = pack_col_val(packed.data(), packed.size(), &entry, r);
  if (n >= 0) {
    void* again = SysCat_UnpackRow(&entry, packed.data(), static_cast<size_t>(n));
    if (again == nullptr) abort();
    free(again);
  }
  free(r);
  return 0;
}
