// zentsd_client.cpp - the session daemon's protocol from the client's side
// (see zentsd_client.h).
#include "support/zentsd_client.h"

#include "support/logon_cipher.h"

namespace testsupport {

namespace {

PayloadWriter writer() { return PayloadWriter(true); }

void put_list(PayloadWriter& w, const std::vector<std::string>& list) {
  w.u16(static_cast<uint16_t>(list.size()));
  for (const std::string& s : list) w.str(s);
}

}  // namespace

Bytes zentsd_startup(const ZentsdStartup& m) {
  PayloadWriter w = writer();
  w.raw(m.magic).u16(m.revision).u16(m.byte_order).str(m.platform).str(m.charset);
  return w.bytes();
}

const uint8_t* ZentsdReader::take(size_t n) {
  if (failed_ || in_.size() - pos_ < n) {
    failed_ = true;
    return nullptr;
  }
  const uint8_t* p = in_.data() + pos_;
  pos_ += n;
  return p;
}

uint8_t ZentsdReader::u8() {
  const uint8_t* p = take(1);
  return p ? p[0] : 0;
}

uint16_t ZentsdReader::u16() {
  const uint8_t* p = take(2);
  return p ? static_cast<uint16_t>(p[0] << 8 | p[1]) : 0;
}

uint32_t ZentsdReader::u32() {
  const uint8_t* p = take(4);
  return p ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3] : 0;
}

std::string ZentsdReader::str() {
  const uint16_t n = u16();
  const uint8_t* p = n ? take(n) : nullptr;
  if (p == nullptr || p[n - 1] != 0) {
    failed_ = true;
    return {};
  }
  return std::string(reinterpret_cast<const char*>(p), n - 1);
}

std::string ZentsdReader::object() {
  const uint32_t n = u32();
  const uint8_t* p = n ? take(n) : nullptr;
  if (p == nullptr) {
    failed_ = true;
    return {};
  }
  return std::string(reinterpret_cast<const char*>(p), n - 1);
}

bool zentsd_entries(const ZentsdReply& r, std::vector<ZentsdEntry>* out) {
  out->clear();
  if (r.got != 1 || r.status != 0) return false;
  ZentsdReader in(r.payload, 2);
  for (;;) {
    ZentsdEntry e;
    e.kind = in.u8();
    if (in.failed()) return false;
    if (e.kind == 0) return in.left() == 0;
    e.name = in.str();
    if (e.kind == 2) e.comment = in.str();
    in.str();
    in.str();
    if (e.kind == 1) e.size = in.u32();
    e.mtime = in.u32();
    e.mode = in.u32();
    if (in.failed()) return false;
    out->push_back(e);
  }
}

ZentsdReply ZentsdClient::call(const Bytes& request, int timeout_ms) {
  ZentsdReply r;
  if (!send_frame(request)) return r;
  r.got = recv_frame(&r.payload, timeout_ms);
  if (r.got != 1) return r;
  ZentsdReader in(r.payload);
  r.status = in.u16();
  if (r.status == 2) r.text = in.str();
  return r;
}

ZentsdReply ZentsdClient::startup(const ZentsdStartup& m) {
  ZentsdReply r = call(zentsd_startup(m));
  if (r.got == 1 && r.status == 0) {
    ZentsdReader in(r.payload, 2);
    challenge_ = in.str();
  }
  return r;
}

ZentsdReply ZentsdClient::logon(const std::string& user, const std::string& password) {
  return call(req_logon(user, client_password_hex(challenge_, password)));
}

Bytes req_plain(uint16_t code) { return writer().u16(code).bytes(); }

Bytes req_string(uint16_t code, const std::string& s) { return writer().u16(code).str(s).bytes(); }

Bytes req_logon(const std::string& user, const std::string& password_hex) {
  return writer().u16(10).str(user).str(password_hex).bytes();
}

Bytes req_start(uint16_t code, const std::string& workdir, const std::vector<std::string>& args,
                const std::vector<std::string>& envs) {
  PayloadWriter w = writer();
  w.u16(code).str(workdir).str("");
  put_list(w, args);
  put_list(w, envs);
  return w.bytes();
}

Bytes req_filelist(const std::string& path, const std::string& pattern, uint16_t cmd) {
  return writer().u16(61).str(path).str(pattern).u16(cmd).bytes();
}

Bytes req_filesave(const std::string& path, uint8_t mode, const std::string& data) {
  PayloadWriter w = writer();
  w.u16(71).str(path).u8(mode).u32(static_cast<uint32_t>(data.size() + 1)).raw(data).u8(0);
  return w.bytes();
}

}  // namespace testsupport
