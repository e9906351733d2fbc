// zentsd_client.h - a small client of the session daemon's protocol for
// tests: the start-up message, every request's encoder, reply decoding and
// the logon with its password cipher. Written from docs/zentsd-protocol.md,
// apart from the daemon's own codec, so that a fault there cannot hide
// itself. Framing is ZentClient's (a u32 big-endian length and the payload).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/zent_client.h"

namespace testsupport {

struct ZentsdStartup {
  std::string magic = "ZN.ZENTD";
  uint16_t revision = 5;
  uint16_t byte_order = 4321;
  std::string platform = "LINUX";
  std::string charset = "ISO8859/1";
};

Bytes zentsd_startup(const ZentsdStartup& m);

// A reader of a reply's payload placed after its status.
PayloadReader zentsd_reader(const Bytes& payload);

struct ZentsdReply {
  int got = -1;              // 1 a reply came, 0 the daemon closed, -1 nothing in time
  uint16_t status = 0xffff;  // 0 success, 2 failure
  std::string text;          // status 2: the message
  Bytes payload;             // the whole reply payload, status included
};

// One entry of a share list (u8 2) or a directory listing (u8 1).
struct ZentsdEntry {
  uint8_t kind = 0;
  std::string name;
  std::string comment;
  uint32_t size = 0;
  uint32_t mtime = 0;
  uint32_t mode = 0;
};
// The entries of a successful code 60 or 61 reply; false when malformed.
bool zentsd_entries(const ZentsdReply& r, std::vector<ZentsdEntry>* out);

class ZentsdClient : public ZentClient {
 public:
  using ZentClient::ZentClient;
  // Sends the start-up message; keeps the challenge of a success reply.
  ZentsdReply startup(const ZentsdStartup& m = {});
  // Sends one request payload and takes one reply.
  ZentsdReply call(const Bytes& request, int timeout_ms = 20000);
  // Code 10 with the password encrypted under the kept challenge.
  ZentsdReply logon(const std::string& user, const std::string& password);
  const std::string& challenge() const { return challenge_; }

 private:
  std::string challenge_;
};

// Request payloads, by code.
Bytes req_plain(uint16_t code);                       // 0, 1, 40, 60
Bytes req_string(uint16_t code, const std::string& s);  // 11, 30, 62, 63, 64, 70
Bytes req_logon(const std::string& user, const std::string& password_hex);
Bytes req_start(uint16_t code, const std::string& workdir, const std::vector<std::string>& args,
                const std::vector<std::string>& envs);  // 20, 51 (21 adds a string)
Bytes req_filelist(const std::string& path, const std::string& pattern, uint16_t cmd);
Bytes req_filesave(const std::string& path, uint8_t mode, const std::string& data);

}  // namespace testsupport
