// archive_reader.h - reading a database archive (format: archive_format.h):
// the magic, tag heads, block tags, INFO texts, the archive and database
// headers, collating sequences handed to the catalog, and a readable
// summary of an archive's head. The node blocks are node_restore.h's.
//
// Every read of the stream goes through one routine (Node_ArchiveRead): a
// short read logs "I/O ERROR: Failed to read archive file: %u bytes could
// not be read" and fails with VOL E091, which no caller overwrites; after
// every 25 reads (one counter for the process) the reading task yields the
// processor. Every other refusal logs its reason at level 0 and fails with
// VOL E090. Sizes read from the stream are checked in 64 bits against
// what the tag must hold, exactly where the format fixes them, and data of
// a size the archive claims is read in bounded pieces, so a lying size
// costs no more memory than the bytes that are really there.
//
// A size that is implausible for its tag (a block tag's other than 1, an
// INFO tag's above 255, the archive header's above 776) is read again with
// its four bytes swapped, so that an archive written in the other byte
// order is recognised as such and refused by the byte-order probe.
//
// Context: the restoring client's task; it may suspend at each yield and
// where the catalog adds a collating sequence.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/archive_format.h"
#include "storage/archive_stream.h"

struct Node;

// Reads exactly n bytes. 0, or -1 (VOL E091) on a short read.
int Node_ArchiveRead(Archive_STREAM* stream, void* data, size_t n);
// Reads n bytes into *out (replacing its contents) in pieces of at most
// 64 KiB, so memory grows only with bytes actually read. 0 or -1 (E091).
int Node_ArchiveReadGrowing(Archive_STREAM* stream, uint64_t n, std::vector<uint8_t>* out);
// Reads since the process started (for tests).
uint32_t Node_ArchiveReads();

// Sets VOL E090 after logging the formatted reason at N/0. Always -1.
int Node_ArchiveRefuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The tag type's name for messages ("Node_ATT_NODE_DESC"; "unknown").
const char* Node_TagName(int type);

int Node_RestoreMagic(Archive_STREAM* stream);
int Node_RestoreTagHead(Archive_STREAM* stream, Node_TAGHEAD* head);
// The block type of a BEGIN or END tag (10, 20 or 30). 0 or -1.
int Node_RestoreBlockTag(Archive_STREAM* stream, const Node_TAGHEAD* head, uint8_t* block);
// An INFO tag's text (1..255 bytes). 0 or -1.
int Node_RestoreInfo(Archive_STREAM* stream, const Node_TAGHEAD* head, std::string* text);

struct Node_ARCHIVE_HEADER {
  uint32_t version = 0;
  std::string revision;
  std::string platform;
  std::string charset;
};
// The archive header tag (11): byte-order probe 1234 and version 1
// required, the size exactly its fields'. 0 or -1.
int Node_RestoreArchiveHeader(Archive_STREAM* stream, const Node_TAGHEAD* head,
                              Node_ARCHIVE_HEADER* out);

struct Node_DB_HEADER {
  std::string name;
  uint32_t flags = 0;
  uint32_t node_id = 0;
  std::vector<uint32_t> items;
};
// The database header tag (12): the size exactly the name's, 12 and four
// per item. 0 or -1.
int Node_RestoreDbHeader(Archive_STREAM* stream, const Node_TAGHEAD* head, Node_DB_HEADER* out);

// What the catalog does with a restored collating sequence: the id it has
// under name now (found or added), or -1 (subsystem 3 registers it).
using Node_RestoreCollFn = int (*)(const char* name, uint32_t value1, uint32_t value2,
                                   const uint8_t* map, uint32_t map_size, Node* tx);
void Node_SetRestoreCollFn(Node_RestoreCollFn fn);
// A collating-sequence tag (31): its archived id and the catalog's id for
// it now. 0 or -1 (also when no catalog registered its function).
int Node_RestoreColl(Archive_STREAM* stream, const Node_TAGHEAD* head, uint32_t* archived_id,
                     uint32_t* new_id, Node* tx);

// A string inside a tag: a length byte and that many bytes.
int Node_ReadString(Archive_STREAM* stream, std::string* out);

// The INFO texts and the header block of an archive, as readable lines;
// "This does not seem to be a valid archive." when the magic differs. 0,
// or -1 when reading fails (nothing in *out).
int Node_ArchiveInfo(Archive_STREAM* stream, std::string* out);
