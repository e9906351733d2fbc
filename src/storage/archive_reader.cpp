// archive_reader.cpp - the archive reader's stream, head and header
// functions (see archive_reader.h). The node blocks are node_restore.cpp's.
//
// Texts read from an archive reach the log only through LogText.
#include "storage/archive_reader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/task_kernel.h"
#include "storage/archive_writer.h"
#include "storage/disk_bytes.h"

namespace {

uint32_t g_reads = 0;
constexpr uint32_t kYieldEvery = 25;
constexpr size_t kPiece = 64 * 1024;
// The archive header's largest size: 8 and three strings of 1 + 255.
constexpr uint32_t kMaxArchiveHeader = 8 + 3 * (1 + Node_ARCHIVE_MAX_STRING);
static_assert(kMaxArchiveHeader == 776);
constexpr uint32_t kMinDbHeader = 13;    // an empty name, flags, node id, count
constexpr uint32_t kMinCollData = 21;    // id, an empty name, three values, map size

Node_RestoreCollFn g_coll_fn = nullptr;

uint32_t swap32(uint32_t v) {
  return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

// The size, or its bytes swapped when only that makes it plausible.
uint32_t plausible(uint32_t size, bool (*ok)(uint32_t)) {
  if (ok(size)) return size;
  const uint32_t swapped = swap32(size);
  return ok(swapped) ? swapped : size;
}

// Reads a string out of a tag's bytes; false when it runs past them.
bool take_string(const uint8_t* b, size_t size, size_t* at, std::string* out) {
  if (*at >= size) return false;
  const size_t n = b[*at];
  if (*at + 1 + n > size) return false;
  out->assign(reinterpret_cast<const char*>(b + *at + 1), n);
  *at += 1 + n;
  return true;
}

}  // namespace

int Node_ArchiveRead(Archive_STREAM* stream, void* data, size_t n) {
  const size_t done = n != 0 ? stream->read(stream, data, n) : 0;
  ++g_reads;
  if (done < n) {
    debug_log('N', 0, "I/O ERROR: Failed to read archive file: %u bytes could not be read",
              static_cast<unsigned>(n - done));
    SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE_READ);
    return -1;
  }
  if (g_reads % kYieldEvery == 0) thread_yield();
  return 0;
}

int Node_ArchiveReadGrowing(Archive_STREAM* stream, uint64_t n, std::vector<uint8_t>* out) {
  out->clear();
  while (out->size() < n) {
    const uint64_t left = n - out->size();
    const size_t piece = left < kPiece ? static_cast<size_t>(left) : kPiece;
    const size_t at = out->size();
    out->resize(at + piece);
    if (Node_ArchiveRead(stream, out->data() + at, piece) != 0) return -1;
  }
  return 0;
}

uint32_t Node_ArchiveReads() { return g_reads; }

int Node_ArchiveRefuse(const char* format, ...) {
  char text[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  debug_output('N', 0, text);
  SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, Node_E_ARCHIVE);
  return -1;
}

const char* Node_TagName(int type) {
  switch (type) {
    case Node_ATT_INFO: return "Node_ATT_INFO";
    case Node_ATT_EOF: return "Node_ATT_EOF";
    case Node_ATT_BEGIN: return "Node_ATT_BEGIN";
    case Node_ATT_END: return "Node_ATT_END";
    case Node_ATT_HEAD: return "Node_ATT_HEAD";
    case Node_ATT_HEAD_HEAD: return "Node_ATT_HEAD_HEAD";
    case Node_ATT_HEAD_DB: return "Node_ATT_HEAD_DB";
    case Node_ATT_NODE: return "Node_ATT_NODE";
    case Node_ATT_NODE_DESC: return "Node_ATT_NODE_DESC";
    case Node_ATT_NODE_META: return "Node_ATT_NODE_META";
    case Node_ATT_NODE_FLIST: return "Node_ATT_NODE_FLIST";
    case Node_ATT_NODE_ULIST: return "Node_ATT_NODE_ULIST";
    case Node_ATT_NODE_CLUSTER: return "Node_ATT_NODE_CLUSTER";
    case Node_ATT_COLL: return "Node_ATT_COLL";
    case Node_ATT_COLL_DATA: return "Node_ATT_COLL_DATA";
    default: return "unknown";
  }
}

int Node_RestoreMagic(Archive_STREAM* stream) {
  uint8_t b[Node_ARCHIVE_MAGIC_SIZE];
  if (Node_ArchiveRead(stream, b, sizeof b) != 0) return -1;
  if (memcmp(b, Node_ARCHIVE_MAGIC, sizeof b) != 0)
    return Node_ArchiveRefuse("Node_RestoreMagic() failed: not an archive file");
  return 0;
}

int Node_RestoreTagHead(Archive_STREAM* stream, Node_TAGHEAD* head) {
  uint8_t b[Node_TAG_HEAD_SIZE];
  if (Node_ArchiveRead(stream, b, sizeof b) != 0) return -1;
  *head = Node_DecodeTagHead(b);
  return 0;
}

int Node_RestoreBlockTag(Archive_STREAM* stream, const Node_TAGHEAD* head, uint8_t* block) {
  if (head->type != Node_ATT_BEGIN && head->type != Node_ATT_END)
    return Node_ArchiveRefuse("Node_RestoreBlockTag() failed: unexpected tag type #%d (%s)",
                              head->type, Node_TagName(head->type));
  const uint32_t size = plausible(head->size, [](uint32_t s) { return s == 1; });
  if (size != 1)
    return Node_ArchiveRefuse(
        "Node_RestoreBlockTag() failed: unexpected tag size %u (expected: %u)", size, 1u);
  if (Node_ArchiveRead(stream, block, 1) != 0) return -1;
  if (*block != Node_ATT_HEAD && *block != Node_ATT_NODE && *block != Node_ATT_COLL)
    return Node_ArchiveRefuse("Node_RestoreBlockTag() failed: unknown block type #%d (%s)",
                              *block, Node_TagName(*block));
  return 0;
}

int Node_RestoreInfo(Archive_STREAM* stream, const Node_TAGHEAD* head, std::string* text) {
  if (head->type != Node_ATT_INFO)
    return Node_ArchiveRefuse("Node_RestoreInfo() failed: unexpected tag type #%d (%s)",
                              head->type, Node_TagName(head->type));
  const uint32_t size =
      plausible(head->size, [](uint32_t s) { return s <= Node_ARCHIVE_MAX_STRING; });
  if (size == 0)
    return Node_ArchiveRefuse(
        "Node_RestoreInfo() failed: unexpected tag size 0 (at least expected: 1)");
  if (size > Node_ARCHIVE_MAX_STRING)
    return Node_ArchiveRefuse("Node_RestoreInfo() failed: unexpected tag size %u (expected: max. 255)",
                              size);
  char b[Node_ARCHIVE_MAX_STRING];
  if (Node_ArchiveRead(stream, b, size) != 0) return -1;
  text->assign(b, size);
  return 0;
}

int Node_ReadString(Archive_STREAM* stream, std::string* out) {
  uint8_t n = 0;
  char b[Node_ARCHIVE_MAX_STRING];
  if (Node_ArchiveRead(stream, &n, 1) != 0 || Node_ArchiveRead(stream, b, n) != 0) return -1;
  out->assign(b, n);
  return 0;
}

int Node_RestoreArchiveHeader(Archive_STREAM* stream, const Node_TAGHEAD* head,
                              Node_ARCHIVE_HEADER* out) {
  if (head->type != Node_ATT_HEAD_HEAD)
    return Node_ArchiveRefuse("Node_RestoreArchiveHeader() failed: unexpected tag type #%d (%s)",
                              head->type, Node_TagName(head->type));
  // Only this tag has a size bound small enough to tell a swapped size.
  const uint32_t size = plausible(head->size, [](uint32_t s) { return s <= kMaxArchiveHeader; });
  if (size < 8 + 3 || size > kMaxArchiveHeader)
    return Node_ArchiveRefuse(
        "Node_RestoreArchiveHeader() failed: unexpected tag size %u (expected: %u to %u)", size,
        11u, kMaxArchiveHeader);
  uint8_t b[kMaxArchiveHeader];
  if (Node_ArchiveRead(stream, b, size) != 0) return -1;
  if (le_get32(b) != Node_ARCHIVE_BYTE_ORDER)
    return Node_ArchiveRefuse("ERROR: Archive file is incompatible - byte order does not match.");
  out->version = le_get32(b + 4);
  if (out->version != Node_ARCHIVE_VERSION)
    return Node_ArchiveRefuse("ERROR: Archive file is incompatible - version: %u, expected: %d.",
                              out->version, static_cast<int>(Node_ARCHIVE_VERSION));
  size_t at = 8;
  if (!take_string(b, size, &at, &out->revision) || !take_string(b, size, &at, &out->platform) ||
      !take_string(b, size, &at, &out->charset) || at != size)
    return Node_ArchiveRefuse(
        "Node_RestoreArchiveHeader() failed: unexpected tag size %u (strings of %zu bytes)", size,
        at - 8);
  return 0;
}

int Node_RestoreDbHeader(Archive_STREAM* stream, const Node_TAGHEAD* head, Node_DB_HEADER* out) {
  if (head->type != Node_ATT_HEAD_DB)
    return Node_ArchiveRefuse("Node_RestoreDbHeader() failed: unexpected tag type #%d (%s)",
                              head->type, Node_TagName(head->type));
  if (head->size <= kMinDbHeader)
    return Node_ArchiveRefuse(
        "Node_RestoreDbHeader() failed: unexpected tag size %u (expected: more than %u)",
        head->size, kMinDbHeader);
  uint8_t fixed[12];
  if (Node_ReadString(stream, &out->name) != 0 || Node_ArchiveRead(stream, fixed, 12) != 0)
    return -1;
  out->flags = le_get32(fixed);
  out->node_id = le_get32(fixed + 4);
  const uint32_t count = le_get32(fixed + 8);
  const uint64_t want = uint64_t{out->name.size()} + 1 + 12 + uint64_t{count} * 4;
  if (want != head->size)
    return Node_ArchiveRefuse(
        "Node_RestoreDbHeader() failed: unexpected tag size %u (expected: %llu for %u items)",
        head->size, static_cast<unsigned long long>(want), count);
  std::vector<uint8_t> items;
  if (Node_ArchiveReadGrowing(stream, uint64_t{count} * 4, &items) != 0) return -1;
  out->items.resize(count);
  for (uint32_t i = 0; i < count; ++i) out->items[i] = le_get32(items.data() + 4 * size_t{i});
  return 0;
}

void Node_SetRestoreCollFn(Node_RestoreCollFn fn) { g_coll_fn = fn; }

int Node_RestoreColl(Archive_STREAM* stream, const Node_TAGHEAD* head, uint32_t* archived_id,
                     uint32_t* new_id, Node* tx) {
  if (head->type != Node_ATT_COLL_DATA)
    return Node_ArchiveRefuse("Node_RestoreColl() failed: unexpected tag type #%d (%s)",
                              head->type, Node_TagName(head->type));
  if (head->size <= kMinCollData)
    return Node_ArchiveRefuse(
        "Node_RestoreColl() failed: unexpected tag size %u (expected: more than %u)", head->size,
        kMinCollData);
  uint8_t id[4];
  uint8_t values[16];
  std::string name;
  if (Node_ArchiveRead(stream, id, 4) != 0 || Node_ReadString(stream, &name) != 0 ||
      Node_ArchiveRead(stream, values, 16) != 0)
    return -1;
  const uint32_t map_size = le_get32(values + 12);
  const uint64_t want = uint64_t{name.size()} + 1 + uint64_t{map_size} + 20;
  if (want != head->size)
    return Node_ArchiveRefuse(
        "Node_RestoreColl() failed: unexpected tag size %u (expected: %llu)", head->size,
        static_cast<unsigned long long>(want));
  std::vector<uint8_t> map;
  if (Node_ArchiveReadGrowing(stream, map_size, &map) != 0) return -1;
  *archived_id = le_get32(id);
  if (g_coll_fn == nullptr)
    return Node_ArchiveRefuse("Node_RestoreColl() failed: no catalog to restore \"%s\" into",
                              LogText(name.c_str()).c_str());
  const int got = g_coll_fn(name.c_str(), le_get32(values), le_get32(values + 4), map.data(),
                            map_size, tx);
  if (got < 0)
    return Node_ArchiveRefuse("Node_RestoreColl() failed on collating sequence \"%s\"",
                              LogText(name.c_str()).c_str());
  *new_id = static_cast<uint32_t>(got);
  debug_log('N', 3, "Node_RestoreColl(id=%u, name=\"%s\") new id %u", *archived_id,
            LogText(name.c_str()).c_str(), *new_id);
  return 0;
}

int Node_ArchiveInfo(Archive_STREAM* stream, std::string* out) {
  out->clear();
  uint8_t magic[Node_ARCHIVE_MAGIC_SIZE];
  if (Node_ArchiveRead(stream, magic, sizeof magic) != 0) return -1;
  if (memcmp(magic, Node_ARCHIVE_MAGIC, sizeof magic) != 0) {
    *out = "This does not seem to be a valid archive.";
    return 0;
  }
  std::string text;
  Node_TAGHEAD head;
  for (;;) {
    if (Node_RestoreTagHead(stream, &head) != 0) return -1;
    if (head.type != Node_ATT_INFO) break;
    std::string info;
    if (Node_RestoreInfo(stream, &head, &info) != 0) return -1;
    if (!text.empty()) text += '\n';
    text += info;
  }
  uint8_t block = 0;
  if (Node_RestoreBlockTag(stream, &head, &block) != 0) return -1;
  if (head.type != Node_ATT_BEGIN || block != Node_ATT_HEAD)
    return Node_ArchiveRefuse("Node_ArchiveInfo() failed: missing Node_ATT_HEAD archive block");
  Node_ARCHIVE_HEADER ah;
  Node_DB_HEADER dh;
  if (Node_RestoreTagHead(stream, &head) != 0 ||
      Node_RestoreArchiveHeader(stream, &head, &ah) != 0 ||
      Node_RestoreTagHead(stream, &head) != 0 || Node_RestoreDbHeader(stream, &head, &dh) != 0)
    return -1;
  char version[16];
  snprintf(version, sizeof version, "%u", ah.version);
  text += "\nArchive version: ";
  text += version;
  text += "\nVolume revision: " + ah.revision;
  text += "\nPlatform       : " + ah.platform;
  text += "\nCharacter set  : " + ah.charset;
  text += "\nDatabase name  : " + dh.name;
  *out = std::move(text);
  return 0;
}
