// vbuf.cpp - the in-use list, the cache list with its trim mark, and the
// statistics of work buffers.
#include "base/vbuf.h"

#include <cstdlib>

#include "base/debug_log.h"
#include "base/panic.h"

namespace {

vbuf* vhead = nullptr;  // in use, newest first
vbuf* vtail = nullptr;
vbuf* cache_head = nullptr;  // given back, newest first
// First cache entry that was already cached at the previous trim: it and
// everything after it are freed by the next trim unless reused first.
vbuf* cache_himark = nullptr;
VBufStats g_stats{};

void count_bytes(int64_t delta) {
  g_stats.bytes = static_cast<uint64_t>(static_cast<int64_t>(g_stats.bytes) + delta);
  if (g_stats.bytes > g_stats.max_bytes) g_stats.max_bytes = g_stats.bytes;
}

void link_in_use(vbuf* v) {
  ZENT_ASSERT(vhead == nullptr || vhead->prev == nullptr);
  ZENT_ASSERT(vhead != nullptr || vtail == nullptr);
  v->prev = nullptr;
  v->next = vhead;
  if (vhead != nullptr)
    vhead->prev = v;
  else
    vtail = v;
  vhead = v;
}

void unlink_in_use(vbuf* v) {
  ZENT_ASSERT(vtail != nullptr && vtail->next == nullptr);
  if (v->prev != nullptr)
    v->prev->next = v->next;
  else
    vhead = v->next;
  if (v->next != nullptr)
    v->next->prev = v->prev;
  else
    vtail = v->prev;
  v->next = v->prev = nullptr;
}

// Frees a record and its storage; the caller has unlinked it.
void destroy(vbuf* v) {
  close_vbuf(v);
  free(v);
  --g_stats.objects;
  count_bytes(-static_cast<int64_t>(sizeof(vbuf)));
}

}  // namespace

vbuf* alloc_vbuf() {
  vbuf* v = cache_head;
  if (v != nullptr) {
    ZENT_ASSERT(v->prev == nullptr);
    if (cache_himark == v) cache_himark = v->next;
    cache_head = v->next;
    if (cache_head != nullptr) cache_head->prev = nullptr;
  } else {
    v = static_cast<vbuf*>(calloc(1, sizeof(vbuf)));
    if (v == nullptr) {
      debug_log('N', 0, "vbuf::alloc_vbuf() failed: heap overflow (%u bytes)",
                static_cast<unsigned>(sizeof(vbuf)));
      panic_assert_failed("vbuf::alloc_vbuf() failed: heap overflow", __FILE__, __LINE__);
    }
    if (++g_stats.objects > g_stats.max_objects) g_stats.max_objects = g_stats.objects;
    count_bytes(sizeof(vbuf));
  }
  link_in_use(v);
  return v;
}

void free_vbuf(vbuf* v) {
  unlink_in_use(v);
  ZENT_ASSERT(cache_head == nullptr || cache_head->prev == nullptr);
  v->next = cache_head;
  if (cache_head != nullptr) cache_head->prev = v;
  cache_head = v;
}

void open_vbuf(vbuf* v, unsigned size) {
  debug_log('N', 3, "vbuf::open_vbuf(size=%u)", size);
  if (v->data != nullptr) {
    if (size <= v->size) return;
    void* grown = realloc(v->data, size);
    if (grown == nullptr) panic_assert_failed("vbuf::open_vbuf() failed: heap overflow", __FILE__, __LINE__);
    count_bytes(static_cast<int64_t>(size) - v->size);
    v->data = grown;
    v->size = size;
    return;
  }
  const unsigned want = size > kVBufMinStorage ? size : kVBufMinStorage;
  v->data = malloc(want);
  if (v->data == nullptr) panic_assert_failed("vbuf::open_vbuf() failed: heap overflow", __FILE__, __LINE__);
  v->size = want;
  count_bytes(want);
}

void close_vbuf(vbuf* v) {
  debug_log('N', 3, "vbuf::close_vbuf()");
  if (v->data == nullptr) return;
  free(v->data);
  count_bytes(-static_cast<int64_t>(v->size));
  v->data = nullptr;
  v->size = 0;
}

vbuf* VBuf_Open(unsigned size, const char* file, int line) {
  vbuf* v = alloc_vbuf();
  open_vbuf(v, size);
  v->file = file;
  v->line = line;
  return v;
}

void VBuf_Close(vbuf* v) {
  if (v != nullptr) free_vbuf(v);
}

void vbuf_trim() {
  if (cache_himark != nullptr) {
    // Cut the list before the mark and free the old part.
    if (cache_himark->prev != nullptr)
      cache_himark->prev->next = nullptr;
    else
      cache_head = nullptr;
    for (vbuf* v = cache_himark; v != nullptr;) {
      vbuf* next = v->next;
      destroy(v);
      v = next;
    }
  }
  cache_himark = cache_head;
}

// The figures drop by what is freed (to 0 once every buffer is back), so
// that buffers still in use keep them right when they are freed later.
void vbuf_exit() {
  for (vbuf* v = cache_head; v != nullptr;) {
    vbuf* next = v->next;
    destroy(v);
    v = next;
  }
  cache_head = nullptr;
  cache_himark = nullptr;
}

VBufStats vbuf_stats() { return g_stats; }
