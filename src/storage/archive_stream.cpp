// archive_stream.cpp - the file and memory archive streams (see
// archive_stream.h).
#include "storage/archive_stream.h"

namespace {

size_t file_write(Archive_STREAM* s, const void* data, size_t n) {
  return fwrite(data, 1, n, static_cast<Archive_FILESTREAM*>(s)->file);
}

size_t mem_write(Archive_STREAM* s, const void* data, size_t n) {
  auto* m = static_cast<Archive_MEMSTREAM*>(s);
  ++m->writes;
  if (m->before) m->before(m->writes);
  size_t take = n;
  if (m->fail_at != 0 && m->writes == m->fail_at) take = n / 2;
  const uint64_t room = m->limit > m->bytes.size() ? m->limit - m->bytes.size() : 0;
  if (take > room) take = static_cast<size_t>(room);
  const auto* b = static_cast<const uint8_t*>(data);
  m->bytes.insert(m->bytes.end(), b, b + take);
  return take;
}

}  // namespace

void Archive_InitFileStream(Archive_FILESTREAM* stream, FILE* file) {
  stream->write = file_write;
  stream->file = file;
}

void Archive_InitMemStream(Archive_MEMSTREAM* stream) { stream->write = mem_write; }
