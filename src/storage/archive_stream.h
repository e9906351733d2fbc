// archive_stream.h - the byte stream an archive is written to and read
// from: a small interface of one write and one read function, so the
// writer and the reader neither know nor care whether the bytes are in a
// file (a C library stream the caller opened and closes) or in memory.
//
// A write answers the number of bytes it took; fewer than asked is a short
// write, which the archive writer treats as the failure it is (status VOL
// E092). A read answers the number of bytes it gave; fewer than asked is a
// short read (the reader's VOL E091). The memory stream can be told to
// write short, to fail at the n-th write, or to call a hook before each
// write (tests use it to change a node while the writer holds it); it
// reads its bytes from pos on.
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
  // Reads up to n bytes; the number of bytes given.
  size_t (*read)(Archive_STREAM* stream, void* data, size_t n) = nullptr;
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
  size_t pos = 0;                                 // next byte a read gives
};
void Archive_InitMemStream(Archive_MEMSTREAM* stream);
