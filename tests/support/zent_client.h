// zent_client.h - a small client of zentdb6's protocol for tests: the
// length-word framing, the start-up handshake and the class-1 no-op. Its
// encoder is written here on its own, not borrowed from the server's codec,
// so that a fault in the codec cannot hide itself. Later request classes add
// their requests here.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Builds payloads field by field in one byte order.
class PayloadWriter {
 public:
  explicit PayloadWriter(bool big_endian) : big_(big_endian) {}
  PayloadWriter& u8(uint8_t v);
  PayloadWriter& u16(uint16_t v);
  PayloadWriter& u32(uint32_t v);
  PayloadWriter& raw(const void* p, size_t n);
  PayloadWriter& raw(const std::string& s) { return raw(s.data(), s.size()); }
  PayloadWriter& raw(const Bytes& b) { return raw(b.data(), b.size()); }
  // u16 count (length + 1), the text, NUL.
  PayloadWriter& str(const std::string& s);
  // Zero bytes up to the next multiple of n: 1 to n of them, counted from
  // the payload's start (the codec's alignment step).
  PayloadWriter& align(size_t n);
  // u32 count, then the bytes.
  PayloadWriter& obj(const Bytes& b);
  const Bytes& bytes() const { return out_; }

 private:
  bool big_;
  Bytes out_;
};

// Reads payloads field by field; any short read sets failed().
class PayloadReader {
 public:
  // origin: where in's first byte stands in its payload (align counts from
  // the payload's start).
  PayloadReader(const Bytes& in, bool big_endian, size_t origin = 0)
      : in_(in), big_(big_endian), origin_(origin) {}
  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  std::string str();
  // u32 count (size + 1), the bytes, a zero byte.
  std::string object();
  bool failed() const { return failed_; }
  size_t left() const { return failed_ ? 0 : in_.size() - pos_; }
  size_t pos() const { return pos_; }
  // Skips the codec's alignment padding (1 to n bytes).
  void align(size_t n) { take(n - (origin_ + pos_) % n); }
  Bytes bytes(size_t n) {
    const uint8_t* p = take(n);
    return p ? Bytes(p, p + n) : Bytes{};
  }

 private:
  const uint8_t* take(size_t n);
  const Bytes& in_;
  bool big_;
  size_t origin_;
  size_t pos_ = 0;
  bool failed_ = false;
};

struct StartupMessage {
  std::string magic = "ZN.DBSRV";
  uint16_t revision = 1;
  uint16_t byte_order = 1234;
  std::string platform = "LINUX";
  std::string charset = "ISO8859/1";
  std::string os_user = "tester";  // sent only when revision is not 0
};

struct StartupReply {
  uint16_t request_id = 0xffff;
  uint16_t status = 0xffff;
  uint16_t revision = 0;
  uint16_t byte_order = 0;
  std::string platform;
  std::string charset;
  uint32_t capabilities = 0;
  uint32_t buffer_size = 0;
  uint32_t max_message = 0;
  std::string challenge;
};

// The handshake payload (big-endian).
Bytes encode_startup(const StartupMessage& m);
// Decodes a handshake reply payload; false when it is malformed or has bytes left.
bool decode_startup_reply(const Bytes& payload, StartupReply* out);
// The length word (big-endian) and the payload.
Bytes frame(const Bytes& payload);
// A request head (little-endian) with optional further bytes.
Bytes encode_request(uint16_t request_id, uint16_t request_class, const Bytes& rest = {});

// --- DBML (request class 3) ------------------------------------------------

// A little-endian writer holding the request head {id, 3} and the DBML type;
// the caller appends the request's fields.
PayloadWriter dbml_writer(uint16_t request_id, uint16_t type);

// The 46-byte status reply that starts every DBML reply.
struct DbmlStatus {
  uint16_t request_id = 0xffff;
  uint16_t zero = 0xffff;
  uint16_t mask = 0;
  int32_t words[10] = {};
};
// Reads the status reply from r; false when it is short.
bool read_dbml_status(PayloadReader& r, DbmlStatus* out);
// The status reply at the head of a DBML reply payload; the bytes after it
// in *rest (they stand at kDbmlStatusBytes in the payload). false when it
// is short.
inline constexpr size_t kDbmlStatusBytes = 46;
bool decode_dbml_reply(const Bytes& payload, DbmlStatus* out, Bytes* rest);
// The golden reply to DBOPEN of an empty name in mode 1, request id
// 0x0102: -11, mask 1009, word 5 401, word 8 the mode.
extern const Bytes kFailingDbopenReply;
// A DBGET request: dbid, setno, mode, item list "@" and the buffer size,
// then mode 4's record number (arg, 4 bytes) or mode 7's key (align 4, obj).
PayloadWriter dbml_get_request(uint16_t request_id, uint16_t dbid, uint16_t setno, uint8_t mode,
                               uint32_t size, const Bytes& arg);

// --- SYSCAT (request class 4) ----------------------------------------------

// A little-endian writer holding the request head {id, 4} and the SYSCAT type.
PayloadWriter syscat_writer(uint16_t request_id, uint16_t type);

// ADD_INDEX (30) in open database h: a key index (flags 4) of table, or a
// plain one (table 0, flags 0), with no tree yet.
PayloadWriter syscat_add_index_request(uint16_t request_id, uint16_t h, uint32_t table,
                                       const std::string& name, uint32_t flags);
// ADD_INDEXSEG (33): column as the first segment of index.
PayloadWriter syscat_add_indexseg_request(uint16_t request_id, uint16_t h, uint32_t index,
                                          uint32_t column);
// ADD_PRIVILEGE (25): rights (7: read, write and erase) of group on table.
PayloadWriter syscat_add_privilege_request(uint16_t request_id, uint16_t h, uint32_t group,
                                           uint32_t table, uint32_t rights);
// CLOSE_DB (17) of open database h.
PayloadWriter syscat_close_db_request(uint16_t request_id, uint16_t h);

// The head of a SYSCAT reply: success {id, 0, u32 0}, after which the data
// follows in the reader, or the failure text reply {id, 0, u32 code, str
// text, 2 bytes of padding}.
struct SyscatReply {
  uint16_t request_id = 0xffff;
  uint16_t zero = 0xffff;
  uint32_t code = 0xffffffff;
  std::string text;
  bool ok() const { return code == 0; }
};
// Reads the head (and, for a failure, the text and padding) from r; false
// when it is short.
bool read_syscat_reply(PayloadReader& r, SyscatReply* out);
// The head of a SYSCAT reply payload; the data after it in *data. false
// when it is short.
bool decode_syscat_reply(const Bytes& payload, SyscatReply* out, Bytes* data);

// --- SCAN (request class 5) ------------------------------------------------

// A little-endian writer holding the request head {id, 5} and the SCAN type.
PayloadWriter scan_writer(uint16_t request_id, uint16_t type);
// NEW_CONTEXT: dbid, mode, setno, rec_size, fld_offs, fld_cnt, then the
// bitmap's bytes as given.
PayloadWriter scan_new_context_request(uint16_t request_id, int16_t dbid, int16_t setno,
                                       int16_t fld_offs, int16_t fld_cnt, const Bytes& bitmap);
// SEQ: handle, data_sz, next_recno.
PayloadWriter scan_seq_request(uint16_t request_id, uint32_t handle, uint32_t data_sz,
                               int32_t next_recno);

// A SCAN reply: success {id, 0, u32 0} and what follows (a NEW_CONTEXT's
// handle, a data request's area after align 4), or the scan failure {id,
// 0, u32 code, u32 detail, str text, 2 bytes of padding}.
struct ScanReply {
  uint16_t request_id = 0xffff;
  uint16_t zero = 0xffff;
  uint32_t code = 0xffffffff;
  uint32_t detail = 0;
  std::string text;
  Bytes rest;  // success: the bytes after the head
  bool ok() const { return code == 0; }
};
// Decodes a whole SCAN reply; false when it is malformed.
bool decode_scan_reply(const Bytes& payload, ScanReply* out);

// --- MGMT (request class 6) ------------------------------------------------

// A COMMAND request {id, 6, 1, argc, words}; argc < 0 sends the word count.
Bytes encode_mgmt(uint16_t request_id, const std::vector<std::string>& words, int argc = -1);

// A MGMT reply: its code (0 for success and list texts), its text, and
// whether two bytes of padding followed the text (success and failure
// texts; not list and help texts).
struct MgmtReply {
  uint16_t request_id = 0xffff;
  uint32_t code = 0xffffffff;
  std::string text;
  bool padded = false;
};
// Decodes a MGMT reply payload; false when it is malformed.
bool decode_mgmt_reply(const Bytes& payload, MgmtReply* out);

class ZentClient {
 public:
  ZentClient() = default;
  explicit ZentClient(int fd) : fd_(fd) {}
  ~ZentClient();
  ZentClient(const ZentClient&) = delete;
  ZentClient& operator=(const ZentClient&) = delete;

  // Connects to 127.0.0.1:port; false on failure. A receive_buffer above 0
  // sets SO_RCVBUF first (a client that takes replies slowly).
  bool connect(uint16_t port, int receive_buffer = 0);
  int fd() const { return fd_; }
  void close();

  bool send_raw(const void* data, size_t n);
  bool send_raw(const Bytes& b) { return send_raw(b.data(), b.size()); }
  // Length word (big-endian) and payload.
  bool send_frame(const Bytes& payload);
  // One reply frame: 1 received, 0 the server closed the connection, -1
  // failure or nothing within timeout_ms.
  int recv_frame(Bytes* payload, int timeout_ms = 10000);
  // True when the server closes the connection within timeout_ms without
  // sending anything more.
  bool closed_without_reply(int timeout_ms = 10000);

  // Handshake; false unless a well-formed reply came back.
  bool handshake(const StartupMessage& m = {}, StartupReply* reply = nullptr);
  // Class-1 request; true when exactly the 4-byte no-op reply came back.
  bool noop(uint16_t request_id);

  // One request and its reply payload; false when none came back.
  bool request(const Bytes& payload, Bytes* reply);
  // One DBML request: its status in *st, the bytes after the status reply
  // in *rest. The status word, or INT32_MIN on no reply or a short one.
  int32_t dbml(const Bytes& payload, DbmlStatus* st = nullptr, Bytes* rest = nullptr);
  // LOGON with the password enciphered under challenge ("" sends an empty
  // cipher text: no password). Status word 0, or INT32_MIN on no reply.
  int32_t logon(const std::string& challenge, const std::string& user,
                const std::string& password, DbmlStatus* st = nullptr);
  // DBOPEN; the schema block's bytes (without the count) go to *schema.
  int32_t dbopen(const std::string& db, const std::string& password, uint8_t mode,
                 DbmlStatus* st = nullptr, Bytes* schema = nullptr);
  int32_t dbclose(uint16_t dbid, uint8_t mode, uint16_t setno, DbmlStatus* st = nullptr);
  // One SCAN request and its decoded reply; false when none came back.
  bool scan(const PayloadWriter& w, ScanReply* out);
  // A MGMT command; false when no well-formed reply came back.
  bool mgmt(const std::vector<std::string>& words, MgmtReply* out);
  // DBGET with buffer size size; arg is mode 4's record number (4 bytes) or
  // mode 7's key, sent as the mode needs. On success the size bytes of the
  // record buffer go to *data. Status word 0, or INT32_MIN on no reply or a
  // reply of the wrong length.
  int32_t dbget(uint16_t dbid, uint16_t setno, uint8_t mode, uint32_t size, const Bytes& arg,
                DbmlStatus* st = nullptr, Bytes* data = nullptr);

 private:
  bool recv_exact(uint8_t* p, size_t n, int timeout_ms, bool* eof);
  int fd_ = -1;
};

}  // namespace testsupport
