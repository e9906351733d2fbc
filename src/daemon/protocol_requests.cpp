// protocol_requests.cpp - the request factory, the decoders shared by
// several classes, and the requests that only answer (see
// protocol_requests.h).
#include "daemon/protocol_requests.h"

#include <new>

namespace zentsd {

namespace {

struct Name {
  uint16_t code;
  const char* name;
};

constexpr Name kNames[] = {
    {REQ_NOP, "ProtocolNop"},
    {REQ_REGISTER, "ProtocolRegister"},
    {REQ_LOGON, "ProtocolLogon"},
    {REQ_AUTHZENTD, "ProtocolAuthZentd"},
    {REQ_START, "ProtocolStart"},
    {REQ_DLGSRV, "ProtocolDlgSrv"},
    {REQ_REXEC, "ProtocolRExec"},
    {REQ_DDE, "ProtocolDDE"},
    {REQ_HOSTLIST, "ProtocolHostList"},
    {REQ_PSLIST, "ProtocolPsList"},
    {REQ_ATTACH, "ProtocolAttach"},
    {REQ_DEBUGSTART, "ProtocolDebugStart"},
    {REQ_SHARELIST, "ProtocolShareList"},
    {REQ_FILELIST, "ProtocolFileList"},
    {REQ_FILESTAT, "ProtocolFileStat"},
    {REQ_MAPPATH, "ProtocolMapPath"},
    {REQ_REVERSEMAPPATH, "ProtocolReverseMapPath"},
    {REQ_FILELOAD, "ProtocolFileLoad"},
    {REQ_FILESAVE, "ProtocolFileSave"},
};

template <typename T>
Protocol* make() {
  return new (std::nothrow) T();
}

}  // namespace

const char* protocol_name(uint16_t code) {
  for (const Name& n : kNames)
    if (n.code == code) return n.name;
  return "unknown";
}

Protocol* protocol_create(uint16_t code) {
  switch (code) {
    case REQ_NOP: return make<ProtocolNop>();
    case REQ_REGISTER: return make<ProtocolRegister>();
    case REQ_LOGON: return make<ProtocolLogon>();
    case REQ_AUTHZENTD: return make<ProtocolAuthZentd>();
    case REQ_START: return make<ProtocolStart>();
    case REQ_DLGSRV: return make<ProtocolDlgSrv>();
    case REQ_REXEC: return make<ProtocolRExec>();
    case REQ_DDE: return make<ProtocolDDE>();
    case REQ_HOSTLIST: return make<ProtocolHostList>();
    case REQ_PSLIST: return make<ProtocolPsList>();
    case REQ_ATTACH: return make<ProtocolAttach>();
    case REQ_DEBUGSTART: return make<ProtocolDebugStart>();
    case REQ_SHARELIST: return make<ProtocolShareList>();
    case REQ_FILELIST: return make<ProtocolFileList>();
    case REQ_FILESTAT: return make<ProtocolFileStat>();
    case REQ_MAPPATH: return make<ProtocolMapPath>();
    case REQ_REVERSEMAPPATH: return make<ProtocolReverseMapPath>();
    case REQ_FILELOAD: return make<ProtocolFileLoad>();
    case REQ_FILESAVE: return make<ProtocolFileSave>();
    default: return nullptr;
  }
}

int RefusedRequest::Execute(Connection& conn) {
  int r = 0;
  if (needs_logon_ && !require_logon(conn, &r)) return r;
  return reply_failure(conn, text_);
}

int ProtocolNop::Execute(Connection& conn) { return reply_ok(conn, nullptr); }

int StartFields::Get(Buffer& buf) {
  if (buf.GetString(&workdir) != 0 || buf.GetString(&unused) != 0) return -1;
  if (get_string_list(buf, &args) != 0) return -1;
  return get_string_list(buf, &envs);
}

int ProtocolDlgSrv::GetReq(Buffer& buf) {
  if (fields.Get(buf) != 0) return -1;
  return buf.GetString(&extra);
}

int ProtocolRExec::GetReq(Buffer& buf) {
  if (buf.GetString(&command) != 0) return -1;
  if (get_string_list(buf, &args) != 0 || get_string_list(buf, &envs) != 0) return -1;
  return buf.GetString(&extra);
}

int ProtocolFileList::GetReq(Buffer& buf) {
  if (buf.GetString(&path) != 0 || buf.GetString(&pattern) != 0) return -1;
  return buf.GetU16(&cmd);
}

int ProtocolFileSave::GetReq(Buffer& buf) {
  if (buf.GetString(&path) != 0 || buf.GetU8(&mode) != 0) return -1;
  return buf.GetObject(&data, &size);
}

}  // namespace zentsd
