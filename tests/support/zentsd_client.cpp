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

PayloadReader zentsd_reader(const Bytes& payload) {
  PayloadReader in(payload, true);
  in.u16();
  return in;
}

bool zentsd_entries(const ZentsdReply& r, std::vector<ZentsdEntry>* out) {
  out->clear();
  if (r.got != 1 || r.status != 0) return false;
  PayloadReader in = zentsd_reader(r.payload);
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
  PayloadReader in(r.payload, true);
  r.status = in.u16();
  if (r.status == 2) r.text = in.str();
  return r;
}

ZentsdReply ZentsdClient::startup(const ZentsdStartup& m) {
  ZentsdReply r = call(zentsd_startup(m));
  if (r.got == 1 && r.status == 0) {
    PayloadReader in = zentsd_reader(r.payload);
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
