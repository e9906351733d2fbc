// archive_writer.h - writing a database archive: the magic, the header
// block, collating sequences, and node blocks with each node's descriptor,
// meta data, pool free list, used-cluster list and the pages of every
// cluster (format: archive_format.h). The access layer's store and the
// catalog's dump drive it.
//
// Every write of the stream goes through one routine: a short write logs
// "I/O ERROR: Failed to write archive file: %u bytes could not be written"
// and fails with VOL E092; after every 25 writes (one counter for the
// process) the writing task yields the processor. Counts are checked while
// they are written: a node whose free list or used list holds more or less
// than its descriptor tag said fails with VOL E090, as does a node that
// keeps no used-cluster list (its data could not be stored). A failure
// leaves the stream as written so far; the caller closes it.
//
// Context: the storing client's task. A node is locked for its whole block
// and its meta lock held for the list and cluster tags, so it cannot change
// while it is written; the task may suspend in those locks (the node lock
// may be cut short: -1, VOL E027), in the buffer cache, and at each yield.
#pragma once
#include <cstdint>

#include "storage/archive_format.h"
#include "storage/archive_stream.h"
#include "storage/node.h"

enum { Node_E_ARCHIVE = 90, Node_E_ARCHIVE_READ = 91, Node_E_ARCHIVE_WRITE = 92 };

int Node_StoreMagic(Archive_STREAM* stream);
// The header block: BEGIN 10, the archive header, the database header, END 10.
int Node_BeginArchive(Archive_STREAM* stream, const char* db_name, uint32_t flags, uint32_t node_id,
                      const uint32_t* items, uint32_t num_items);
int Node_StoreArchiveHeader(Archive_STREAM* stream);
int Node_StoreDbHeader(Archive_STREAM* stream, const char* db_name, uint32_t flags,
                       uint32_t node_id, const uint32_t* items, uint32_t num_items);
int Node_EndArchive(Archive_STREAM* stream);
// An INFO tag of the formatted text cut to 255 bytes; an empty text
// writes nothing.
int Node_StoreInfo(Archive_STREAM* stream, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
int Node_BeginColl(Archive_STREAM* stream);
int Node_EndColl(Archive_STREAM* stream);
int Node_StoreColl(Archive_STREAM* stream, uint32_t id, const char* name, uint32_t value1,
                   uint32_t value2, uint32_t value3, uint32_t map_size, const uint8_t* map);
// One node block.
int Node_StoreNode(Archive_STREAM* stream, Node* node);
// The node block's tags (node locked, meta lock held for the last three).
int Node_StoreNodeDescriptor(Archive_STREAM* stream, Node* node, Node_ARCHIVE_DESC* desc);
int Node_StoreNodeMetaData(Archive_STREAM* stream, Node* node, const Node_ARCHIVE_DESC* desc);
int Node_StorePoolItemFreeList(Archive_STREAM* stream, Node* node, const Node_ARCHIVE_DESC* desc);
int Node_StoreUsedList(Archive_STREAM* stream, Node* node, const Node_ARCHIVE_DESC* desc);
int Node_StoreNodeData(Archive_STREAM* stream, Node* node, const Node_ARCHIVE_DESC* desc);

// Writes through the one routine since the process started (for tests).
uint32_t Node_ArchiveWrites();
