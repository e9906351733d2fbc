// vbuf.h - work buffers of variable size, taken for one operation (a record,
// a key, a log record, a page image) and given back at its end.
//
// Given-back buffers keep their storage in a cache and are reused last in,
// first out, so the steady state allocates nothing. vbuf_trim (called by
// every checkpoint) frees the buffers that stayed cached, unused, from one
// trim to the next. Running out of memory is fatal. Server thread only; a
// task may hold buffers across a sleep.
#pragma once
#include <cstddef>
#include <cstdint>

struct vbuf {
  void* data;     // storage, at least 8192 bytes once opened
  unsigned size;  // bytes of storage
  vbuf* next;
  vbuf* prev;
  const char* file;  // the taker's source position
  int line;
};

// Statistics for the status pages: records in existence and their bytes
// (records plus storage), with the highest values since start.
struct VBufStats {
  uint64_t objects;
  uint64_t max_objects;
  uint64_t bytes;
  uint64_t max_bytes;
};

inline constexpr unsigned kVBufMinStorage = 8192;

// A buffer with at least size bytes of storage; never none.
vbuf* VBuf_Open(unsigned size, const char* file, int line);
#define VBUF_OPEN(size) VBuf_Open((size), __FILE__, __LINE__)
// Gives a buffer back to the cache; none is ignored.
void VBuf_Close(vbuf* buffer);

// The steps VBuf_Open and VBuf_Close are made of.
vbuf* alloc_vbuf();
void free_vbuf(vbuf* buffer);
void open_vbuf(vbuf* buffer, unsigned size);
void close_vbuf(vbuf* buffer);

// Frees the cached buffers not reused since the previous trim.
void vbuf_trim();
// Frees every cached buffer, which brings the current figures to 0 when no
// buffer is in use (maxima stay); buffers in use are left alone and still
// counted. Close-down only.
void vbuf_exit();
VBufStats vbuf_stats();
