// archive_stream.h - the byte stream an archive is written to: a small
// interface of one write function, so the writer neither knows nor cares
// whether the bytes go to a file (a C library stream the caller opened and
// closes) or to memory.
//
// A write answers the number of bytes it took; fewer than asked is a short
// write, which the archive writer treats as the failure it is (status VOL
// E092). The memory stream can be told to write short, to fail at the n-th
// write, or to call a hook before each write (tests use it to change a
// node while the writer holds it).
//
// Context: the caller's task; a file stream's write blocks in the C
// library.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

struct Archive_STREAM {
  // Writes n bytes; the number of bytes taken.
  size_t (*write)(Archive_STREAM* stream, const void* data, size_t n) = nullptr;
};

// A C library stream opened by the caller.
struct Archive_FILESTREAM : Archive_STREAM {
  FILE* file = nullptr;
};
void Archive_InitFileStream(Archive_FILESTREAM* stream, FILE* file);

// Bytes in memory.
struct Archive_MEMSTREAM : Archive_STREAM {
  std::vector<uint8_t> bytes;
  uint32_t writes = 0;                            // writes asked for so far
  uint64_t limit = UINT64_MAX;                    // bytes taken at most; past it writes are short
  uint32_t fail_at = 0;                           // this write (1 = the first) takes half its bytes
  std::function<void(uint32_t write_no)> before;  // called before each write
};
void Archive_InitMemStream(Archive_MEMSTREAM* stream);
