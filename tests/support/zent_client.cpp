// zent_client.cpp - the tests' protocol client (see zent_client.h).
#include "support/zent_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "support/logon_cipher.h"

namespace testsupport {

PayloadWriter& PayloadWriter::u8(uint8_t v) {
  out_.push_back(v);
  return *this;
}

PayloadWriter& PayloadWriter::u16(uint16_t v) {
  const uint8_t hi = static_cast<uint8_t>(v >> 8), lo = static_cast<uint8_t>(v);
  if (big_) {
    out_.push_back(hi);
    out_.push_back(lo);
  } else {
    out_.push_back(lo);
    out_.push_back(hi);
  }
  return *this;
}

PayloadWriter& PayloadWriter::u32(uint32_t v) {
  if (big_) return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v));
  return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16));
}

PayloadWriter& PayloadWriter::raw(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  out_.insert(out_.end(), b, b + n);
  return *this;
}

PayloadWriter& PayloadWriter::str(const std::string& s) {
  u16(static_cast<uint16_t>(s.size() + 1));
  raw(s);
  return u8(0);
}

PayloadWriter& PayloadWriter::align(size_t n) {
  const size_t pad = n - out_.size() % n;
  out_.insert(out_.end(), pad, 0);
  return *this;
}

PayloadWriter& PayloadWriter::obj(const Bytes& b) {
  u32(static_cast<uint32_t>(b.size()));
  return raw(b);
}

PayloadWriter dbml_writer(uint16_t request_id, uint16_t type) {
  PayloadWriter w(false);
  w.u16(request_id).u16(3).u16(type);
  return w;
}

bool read_dbml_status(PayloadReader& r, DbmlStatus* out) {
  out->request_id = r.u16();
  out->zero = r.u16();
  out->mask = r.u16();
  for (int32_t& w : out->words) w = static_cast<int32_t>(r.u32());
  return !r.failed();
}

bool decode_dbml_reply(const Bytes& payload, DbmlStatus* out, Bytes* rest) {
  PayloadReader r(payload, false);
  if (!read_dbml_status(r, out)) return false;
  if (rest != nullptr) *rest = r.bytes(r.left());
  return true;
}

PayloadWriter syscat_writer(uint16_t request_id, uint16_t type) {
  PayloadWriter w(false);
  w.u16(request_id).u16(4).u16(type);
  return w;
}

PayloadWriter syscat_add_index_request(uint16_t request_id, uint16_t h, uint32_t table,
                                       const std::string& name, uint32_t flags) {
  PayloadWriter w = syscat_writer(request_id, 30);
  w.u16(h).u32(0).u32(table).str(name).u32(1).u32(flags).u8(1).u32(0);
  return w;
}

PayloadWriter syscat_add_indexseg_request(uint16_t request_id, uint16_t h, uint32_t index,
                                          uint32_t column) {
  PayloadWriter w = syscat_writer(request_id, 33);
  w.u16(h).u32(index).u8(0).u32(column).u32(1).u32(0);
  return w;
}

PayloadWriter syscat_add_privilege_request(uint16_t request_id, uint16_t h, uint32_t group,
                                           uint32_t table, uint32_t rights) {
  PayloadWriter w = syscat_writer(request_id, 25);
  w.u16(h).u32(group).u32(table).u32(rights);
  return w;
}

PayloadWriter syscat_close_db_request(uint16_t request_id, uint16_t h) {
  PayloadWriter w = syscat_writer(request_id, 17);
  w.u16(h);
  return w;
}

bool read_syscat_reply(PayloadReader& r, SyscatReply* out) {
  out->request_id = r.u16();
  out->zero = r.u16();
  out->code = r.u32();
  if (out->code != 0) {
    out->text = r.str();
    r.u16();
  }
  return !r.failed();
}

bool decode_syscat_reply(const Bytes& payload, SyscatReply* out, Bytes* data) {
  PayloadReader r(payload, false);
  if (!read_syscat_reply(r, out)) return false;
  if (data != nullptr) *data = r.bytes(r.left());
  return true;
}

PayloadWriter scan_writer(uint16_t request_id, uint16_t type) {
  PayloadWriter w(false);
  w.u16(request_id).u16(5).u16(type);
  return w;
}

PayloadWriter scan_new_context_request(uint16_t request_id, int16_t dbid, int16_t setno,
                                       int16_t fld_offs, int16_t fld_cnt, const Bytes& bitmap) {
  PayloadWriter w = scan_writer(request_id, 1);
  w.u16(static_cast<uint16_t>(dbid)).u16(0).u16(static_cast<uint16_t>(setno)).u16(0);
  w.u16(static_cast<uint16_t>(fld_offs)).u16(static_cast<uint16_t>(fld_cnt)).raw(bitmap);
  return w;
}

PayloadWriter scan_seq_request(uint16_t request_id, uint32_t handle, uint32_t data_sz,
                               int32_t next_recno) {
  PayloadWriter w = scan_writer(request_id, 3);
  w.u32(handle).u32(data_sz).u32(static_cast<uint32_t>(next_recno));
  return w;
}

bool decode_scan_reply(const Bytes& payload, ScanReply* out) {
  // Nothing of a reply decoded before into the same record stays.
  *out = ScanReply{};
  PayloadReader r(payload, false);
  out->request_id = r.u16();
  out->zero = r.u16();
  out->code = r.u32();
  if (out->code != 0) {
    out->detail = r.u32();
    out->text = r.str();
    r.u16();
    return !r.failed() && r.left() == 0;
  }
  out->rest = r.bytes(r.left());
  return !r.failed();
}

const uint8_t* PayloadReader::take(size_t n) {
  if (failed_ || in_.size() - pos_ < n) {
    failed_ = true;
    return nullptr;
  }
  const uint8_t* p = in_.data() + pos_;
  pos_ += n;
  return p;
}

uint16_t PayloadReader::u16() {
  const uint8_t* p = take(2);
  if (p == nullptr) return 0;
  return big_ ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint8_t PayloadReader::u8() {
  const uint8_t* p = take(1);
  return p ? p[0] : 0;
}

uint32_t PayloadReader::u32() {
  const uint32_t a = u16(), b = u16();
  return big_ ? a << 16 | b : b << 16 | a;
}

std::string PayloadReader::str() {
  const uint16_t n = u16();
  const uint8_t* p = n > 0 ? take(n) : nullptr;
  if (p == nullptr || p[n - 1] != 0) {
    failed_ = true;
    return {};
  }
  return std::string(reinterpret_cast<const char*>(p), n - 1);
}

std::string PayloadReader::object() {
  const uint32_t n = u32();
  const uint8_t* p = n > 0 ? take(n) : nullptr;
  if (p == nullptr) {
    failed_ = true;
    return {};
  }
  return std::string(reinterpret_cast<const char*>(p), n - 1);
}

Bytes encode_startup(const StartupMessage& m) {
  PayloadWriter w(true);
  w.raw(m.magic).u16(m.revision).u16(m.byte_order).str(m.platform).str(m.charset);
  if (m.revision != 0) w.str(m.os_user);
  return w.bytes();
}

bool decode_startup_reply(const Bytes& payload, StartupReply* out) {
  PayloadReader r(payload, true);
  out->request_id = r.u16();
  out->status = r.u16();
  out->revision = r.u16();
  out->byte_order = r.u16();
  out->platform = r.str();
  out->charset = r.str();
  out->capabilities = r.u32();
  out->buffer_size = r.u32();
  out->max_message = r.u32();
  out->challenge = r.str();
  return !r.failed() && r.left() == 0;
}

Bytes encode_request(uint16_t request_id, uint16_t request_class, const Bytes& rest) {
  PayloadWriter w(false);
  w.u16(request_id).u16(request_class).raw(rest.data(), rest.size());
  return w.bytes();
}

ZentClient::~ZentClient() { close(); }

void ZentClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ZentClient::connect(uint16_t port, int receive_buffer) {
  close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (receive_buffer > 0 &&
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer) != 0) {
    close();
    return false;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close();
    return false;
  }
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

bool ZentClient::send_raw(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t rc = send(fd_, p, n, MSG_NOSIGNAL);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    p += rc;
    n -= static_cast<size_t>(rc);
  }
  return true;
}

Bytes frame(const Bytes& payload) {
  return PayloadWriter(true).u32(static_cast<uint32_t>(payload.size())).raw(payload).bytes();
}

bool ZentClient::send_frame(const Bytes& payload) { return send_raw(frame(payload)); }

bool ZentClient::recv_exact(uint8_t* p, size_t n, int timeout_ms, bool* eof) {
  *eof = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (n > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd_, POLLIN, 0};
    const int pr = poll(&pfd, 1, static_cast<int>(left.count()));
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) return false;
    const ssize_t rc = recv(fd_, p, n, 0);
    if (rc < 0 && errno == EINTR) continue;
    if (rc == 0 || (rc < 0 && errno == ECONNRESET)) {
      *eof = true;
      return false;
    }
    if (rc < 0) return false;
    p += rc;
    n -= static_cast<size_t>(rc);
  }
  return true;
}

int ZentClient::recv_frame(Bytes* payload, int timeout_ms) {
  uint8_t w[4];
  bool eof = false;
  if (!recv_exact(w, 4, timeout_ms, &eof)) return eof ? 0 : -1;
  const uint32_t n = uint32_t{w[0]} << 24 | uint32_t{w[1]} << 16 | uint32_t{w[2]} << 8 | w[3];
  payload->assign(n, 0);
  if (n > 0 && !recv_exact(payload->data(), n, timeout_ms, &eof)) return -1;
  return 1;
}

bool ZentClient::closed_without_reply(int timeout_ms) {
  uint8_t b;
  bool eof = false;
  return !recv_exact(&b, 1, timeout_ms, &eof) && eof;
}

bool ZentClient::handshake(const StartupMessage& m, StartupReply* reply) {
  StartupReply local;
  StartupReply* r = reply != nullptr ? reply : &local;
  Bytes payload;
  return send_frame(encode_startup(m)) && recv_frame(&payload) == 1 &&
         decode_startup_reply(payload, r);
}

bool ZentClient::noop(uint16_t request_id) {
  Bytes payload;
  if (!send_frame(encode_request(request_id, 1)) || recv_frame(&payload) != 1) return false;
  return payload == PayloadWriter(false).u16(request_id).u16(0).bytes();
}

bool ZentClient::request(const Bytes& payload, Bytes* reply) {
  return send_frame(payload) && recv_frame(reply) == 1;
}

int32_t ZentClient::dbml(const Bytes& payload, DbmlStatus* st, Bytes* rest) {
  Bytes reply;
  DbmlStatus local;
  DbmlStatus* s = st ? st : &local;
  if (!request(payload, &reply) || !decode_dbml_reply(reply, s, rest)) return INT32_MIN;
  return s->words[0];
}

int32_t ZentClient::logon(const std::string& challenge, const std::string& user,
                          const std::string& password, DbmlStatus* st) {
  PayloadWriter w = dbml_writer(1, 14);
  w.str(user).str(password.empty() ? "" : client_password_hex(challenge, password));
  return dbml(w.bytes(), st);
}

int32_t ZentClient::dbopen(const std::string& db, const std::string& password, uint8_t mode,
                           DbmlStatus* st, Bytes* schema) {
  PayloadWriter w = dbml_writer(2, 1);
  w.str(db).str(password).u8(mode);
  Bytes rest;
  const int32_t code = dbml(w.bytes(), st, &rest);
  if (code == 0 && schema != nullptr) {
    PayloadReader r(rest, false, kDbmlStatusBytes);
    r.align(4);
    const uint32_t n = r.u32();
    *schema = r.bytes(n);
    if (r.failed() || r.left() != 0) return INT32_MIN;
  }
  return code;
}

int32_t ZentClient::dbclose(uint16_t dbid, uint8_t mode, uint16_t setno, DbmlStatus* st) {
  PayloadWriter w = dbml_writer(3, 2);
  w.u16(dbid).u8(mode).u16(setno);
  return dbml(w.bytes(), st);
}

Bytes encode_mgmt(uint16_t request_id, const std::vector<std::string>& words, int argc) {
  PayloadWriter w(false);
  w.u16(request_id).u16(6).u16(1);
  w.u16(static_cast<uint16_t>(argc < 0 ? static_cast<int>(words.size()) : argc));
  for (const std::string& word : words) w.str(word);
  return w.bytes();
}

bool decode_mgmt_reply(const Bytes& payload, MgmtReply* out) {
  PayloadReader r(payload, false);
  out->request_id = r.u16();
  if (r.u16() != 0) return false;
  out->code = r.u32();
  out->text = r.str();
  if (r.failed()) return false;
  out->padded = false;
  if (r.left() == 2) {
    if (r.u16() != 0) return false;
    out->padded = true;
  }
  return r.left() == 0;
}

bool ZentClient::mgmt(const std::vector<std::string>& words, MgmtReply* out) {
  Bytes reply;
  if (!request(encode_mgmt(21, words), &reply)) return false;
  return decode_mgmt_reply(reply, out) && out->request_id == 21;
}

const Bytes kFailingDbopenReply = {
    0x02, 0x01, 0x00, 0x00,              // request id, 0
    0xf1, 0x03,                          // mask 1009
    0xf5, 0xff, 0xff, 0xff,              // word 0: -11
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // words 1-3 (not meant)
    0, 0, 0, 0,                          // word 4
    0x91, 0x01, 0, 0,                    // word 5: 401
    0, 0, 0, 0, 0, 0, 0, 0,              // words 6, 7
    0x01, 0, 0, 0,                       // word 8: mode 1
    0, 0, 0, 0,                          // word 9
};

PayloadWriter dbml_get_request(uint16_t request_id, uint16_t dbid, uint16_t setno, uint8_t mode,
                               uint32_t size, const Bytes& arg) {
  PayloadWriter w = dbml_writer(request_id, 8);
  w.u16(dbid).u16(setno).u8(mode).str("@").u32(size);
  if (mode == 4) w.raw(arg);
  if (mode == 7) w.align(4).obj(arg);
  return w;
}

bool ZentClient::scan(const PayloadWriter& w, ScanReply* out) {
  Bytes reply;
  return request(w.bytes(), &reply) && decode_scan_reply(reply, out);
}

int32_t ZentClient::dbget(uint16_t dbid, uint16_t setno, uint8_t mode, uint32_t size,
                          const Bytes& arg, DbmlStatus* st, Bytes* data) {
  Bytes rest;
  const int32_t code = dbml(dbml_get_request(4, dbid, setno, mode, size, arg).bytes(), st, &rest);
  if (code == INT32_MIN) return code;
  PayloadReader r(rest, false, kDbmlStatusBytes);
  if (code == 0) {
    r.align(4);
    const Bytes b = r.bytes(size);
    if (r.failed()) return INT32_MIN;
    if (data != nullptr) *data = b;
  }
  if (r.left() != 0) return INT32_MIN;
  return code;
}

}  // namespace testsupport
