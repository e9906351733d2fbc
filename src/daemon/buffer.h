// buffer.h - the session daemon's message codec: one send message under
// construction and one received message being decoded.
//
// Every integer is big-endian and nothing is aligned. Strings travel as a
// u16 count n (characters + 1), the characters and a zero byte, and are
// mapped between the daemon's character set and the client's; raw strings
// are never mapped. Objects travel as a u32 count n (size + 1), the bytes and
// a zero byte. The send storage starts with the frame's length word, so a
// finished message goes out in one send.
//
// A get checks that its item lies wholly inside the received message before
// it reads anything; a string must also end in its zero byte. A failed get
// logs "Unable to decode server message. Expected %s at offset %u" and
// returns -1: the caller ends the connection, never the process. The buffer
// belongs to one connection and is used by one thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zentsd {

class Buffer {
 public:
  Buffer() = default;
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // The daemon's configured character set (id of charset.h, -1 none).
  void SetLocalCharset(int id) { local_charset_ = id; }
  // The client's set by name: its id, or -1 when the name is unknown.
  int SetRemoteCharset(const char* name);
  int LocalCharset() const { return local_charset_; }
  int RemoteCharset() const { return remote_charset_; }

  // Appends to the send message; 0, or -1 when memory ran out (the message
  // is then marked failed and Send refuses it).
  int PutU8(uint8_t v);
  int PutU16(uint16_t v);
  int PutU32(uint32_t v);
  // Mapped from the local to the remote set, zero byte included. A text of
  // 65535 characters or more is refused.
  int PutString(const char* text);
  int PutRawString(const char* text);
  // Reserves an object of size bytes and returns where the caller writes
  // them (the zero byte after them is written here), or none.
  uint8_t* PutObject(uint32_t size);
  int PutFixed(const void* data, uint32_t n);

  // Decodes the next item of the received message; 0, or -1 after logging.
  int GetU8(uint8_t* v);
  int GetU16(uint16_t* v);
  int GetU32(uint32_t* v);
  // A pointer into the receive storage, valid until ResetRecv; mapped from
  // the remote to the local set in place.
  int GetString(const char** text);
  int GetRawString(const char** text);
  int GetObject(const uint8_t** data, uint32_t* size);
  int GetFixed(const uint8_t** data, uint32_t n);

  // Drops the send message and frees its storage.
  void ResetSend();
  // Drops the received message and frees its storage.
  void ResetRecv();
  // Storage for a received frame of n bytes; the previous one must have been
  // reset. None when memory ran out.
  uint8_t* RecvAlloc(uint32_t n);

  // Writes the length word and sends length word and payload in one call.
  // 0, or -1 (logged) when the message failed or the send failed.
  int Send(int sock);

  // For tests: the send payload so far and the storage's size in words.
  const uint8_t* SendPayload() const;
  uint32_t SendLength() const { return send_len_; }
  uint32_t SendCapacityWords() const { return send_words_; }
  uint32_t RecvSize() const { return recv_size_; }
  uint32_t RecvOffset() const { return recv_off_; }

 private:
  uint8_t* Reserve(size_t k);
  bool Fits(size_t k) const;
  bool Has(size_t k, const char* what);
  bool Fail(const char* what);
  int PutCounted(const char* text, bool mapped);
  int GetCounted(const char** text, bool mapped);

  int local_charset_ = -1;
  int remote_charset_ = -1;
  uint32_t* send_ = nullptr;  // length word, then the payload
  uint32_t send_len_ = 0;     // payload bytes
  uint32_t send_words_ = 0;   // capacity, length word included
  bool send_failed_ = false;
  uint8_t* recv_ = nullptr;
  uint32_t recv_size_ = 0;
  uint32_t recv_off_ = 0;
};

}  // namespace zentsd
