// protocol_requests.h - the request classes of the session daemon's
// protocol, one per request code, in code order. Each decodes exactly its
// fields in GetReq (pointers into the received message, valid while the
// request lives) and acts in Execute. docs/zentsd-protocol.md lists every
// request with its fields and replies.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "daemon/protocol.h"

namespace zentsd {

// Requests that are decoded and then answered with a fixed status-2 text
// (and, where marked, only after a logon).
class RefusedRequest : public ServerRequest {
 public:
  RefusedRequest(const char* text, bool needs_logon) : text_(text), needs_logon_(needs_logon) {}
  int Execute(Connection& conn) override;

 private:
  const char* text_;
  bool needs_logon_;
};

class ProtocolNop : public ServerRequest {
 public:
  int GetReq(Buffer&) override { return 0; }
  int Execute(Connection& conn) override;
};

class ProtocolRegister : public RefusedRequest {
 public:
  ProtocolRegister() : RefusedRequest("ProtocolRegister::Execute - not available yet", false) {}
  int GetReq(Buffer&) override { return 0; }
};

class ProtocolLogon : public ServerRequest {
 public:
  int GetReq(Buffer& buf) override;
  int Execute(Connection& conn) override;
  const char* user_id = nullptr;
  const char* password_hex = nullptr;
};

class ProtocolAuthZentd : public RefusedRequest {
 public:
  ProtocolAuthZentd() : RefusedRequest("ProtocolAuthZentd::Execute - not available yet", false) {}
  int GetReq(Buffer& buf) override { return buf.GetString(&text); }
  const char* text = nullptr;
};

// The fields of a start request (codes 20, 21, 51).
struct StartFields {
  const char* workdir = nullptr;
  const char* unused = nullptr;
  std::vector<const char*> args;
  std::vector<const char*> envs;
  int Get(Buffer& buf);
};

class ProtocolStart : public ServerRequest {
 public:
  explicit ProtocolStart(bool debug = false) : debug_(debug) {}
  int GetReq(Buffer& buf) override { return fields.Get(buf); }
  int Execute(Connection& conn) override;
  StartFields fields;

 private:
  // A failed start: logged, replied, and the handler's status becomes 1.
  int Failed(Connection& conn, int err);
  bool debug_;
};

class ProtocolDlgSrv : public RefusedRequest {
 public:
  ProtocolDlgSrv() : RefusedRequest("ProtocolDlgSrv::Execute - not implemented yet", true) {}
  int GetReq(Buffer& buf) override;
  StartFields fields;
  const char* extra = nullptr;
};

class ProtocolRExec : public RefusedRequest {
 public:
  ProtocolRExec() : RefusedRequest("ProtocolRExec::Execute - not implemented yet", true) {}
  int GetReq(Buffer& buf) override;
  const char* command = nullptr;
  std::vector<const char*> args;
  std::vector<const char*> envs;
  const char* extra = nullptr;
};

class ProtocolDDE : public RefusedRequest {
 public:
  ProtocolDDE() : RefusedRequest("ProtocolDDE::Execute - not implemented yet", true) {}
  int GetReq(Buffer& buf) override { return buf.GetString(&text); }
  const char* text = nullptr;
};

class ProtocolHostList : public RefusedRequest {
 public:
  ProtocolHostList() : RefusedRequest("ProtocolHostList::Execute - not implemented yet", false) {}
  int GetReq(Buffer&) override { return 0; }
};

class ProtocolPsList : public RefusedRequest {
 public:
  ProtocolPsList() : RefusedRequest("ProtocolPsList::Execute - not implemented yet", false) {}
  int GetReq(Buffer& buf) override { return buf.GetU32(&value); }
  uint32_t value = 0;
};

class ProtocolAttach : public RefusedRequest {
 public:
  ProtocolAttach() : RefusedRequest("ProtocolAttach::Execute - not implemented yet", false) {}
  int GetReq(Buffer& buf) override { return buf.GetU32(&first) != 0 ? -1 : buf.GetU32(&second); }
  uint32_t first = 0;
  uint32_t second = 0;
};

class ProtocolDebugStart : public ProtocolStart {
 public:
  ProtocolDebugStart() : ProtocolStart(true) {}
};

class ProtocolShareList : public ServerRequest {
 public:
  int GetReq(Buffer&) override { return 0; }
  int Execute(Connection& conn) override;
};

class ProtocolFileList : public ServerRequest {
 public:
  int GetReq(Buffer& buf) override;
  int Execute(Connection& conn) override;
  const char* path = nullptr;
  const char* pattern = nullptr;
  uint16_t cmd = 0;
};

class ProtocolFileStat : public RefusedRequest {
 public:
  ProtocolFileStat() : RefusedRequest("FileStat - not implemented yet", true) {}
  int GetReq(Buffer& buf) override { return buf.GetString(&path); }
  const char* path = nullptr;
};

class ProtocolMapPath : public ServerRequest {
 public:
  int GetReq(Buffer& buf) override { return buf.GetRawString(&local); }
  int Execute(Connection& conn) override;
  int PutReply(Buffer& buf) override { return buf.PutString(result_.c_str()); }
  const char* local = nullptr;

 private:
  std::string result_;
};

class ProtocolReverseMapPath : public ServerRequest {
 public:
  int GetReq(Buffer& buf) override { return buf.GetString(&path); }
  int Execute(Connection& conn) override;
  int PutReply(Buffer& buf) override { return buf.PutRawString(result_.c_str()); }
  const char* path = nullptr;

 private:
  std::string result_;
};

class ProtocolFileLoad : public ServerRequest {
 public:
  int GetReq(Buffer& buf) override { return buf.GetString(&path); }
  int Execute(Connection& conn) override;
  const char* path = nullptr;
};

class ProtocolFileSave : public ServerRequest {
 public:
  int GetReq(Buffer& buf) override;
  int Execute(Connection& conn) override;
  const char* path = nullptr;
  uint8_t mode = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

}  // namespace zentsd
