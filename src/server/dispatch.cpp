// dispatch.cpp - start-up handshake, request dispatch and reply heads (see
// dispatch.h and docs/protocol.md).
#include "server/dispatch.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "server/client_session.h"
#include "server/server_main.h"
#include "server/server_seams.h"

namespace {

const char* byte_order_name(uint16_t order) {
  if (order == kBigEndian) return "BIG_ENDIAN";
  if (order == kLittleEndian) return "LITTLE_ENDIAN";
  return "unkown";
}

const char* server_charset_name() {
  const SrvConfig* srv = server_cfg != nullptr ? server_cfg->server : nullptr;
  return srv != nullptr && srv->charset_name != nullptr ? srv->charset_name : "ISO8859/1";
}

// Replaces *slot with a copy of text; false when memory ran out.
bool keep_copy(char** slot, const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) return false;
  free(*slot);
  *slot = copy;
  return true;
}

}  // namespace

bool scan_disabled() {
  return server_cfg != nullptr && server_cfg->server != nullptr &&
         server_cfg->server->disable_scan != 0;
}

uint32_t message_size_limit(const ClientSession* session) {
  return session->state == State_Initial ? kInitialMessageLimit : kMessageLimit;
}

void start_reply(ClientSession* session) {
  Buffer_SendReset(&session->buffer);
  Buffer_Put_u16(&session->buffer, session->request_id);
  Buffer_Put_u16(&session->buffer, 0);
}

void reply_success(ClientSession* session) {
  start_reply(session);
  Buffer_Put_u32(&session->buffer, 0);
}

int reply_failed(ClientSession* session, const char* format, ...) {
  // Names from the request go into the text: it is cut, never overrun.
  char text[kReplyTextMax + 1];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  debug_log('P', 2, "reply_failed: %s", LogText(text).c_str());
  const ErrorStatus code = get_error();
  Buffer* b = &session->buffer;
  start_reply(session);
  Buffer_Put_u32(b, code != 0 ? code : UINT32_MAX);
  Buffer_Put_str(b, text);
  Buffer_Put_u16(b, 0);
  return Buffer_SendFailed(b) ? -1 : 0;
}

int protocol_noop(ClientSession* session) {
  start_reply(session);
  return 0;
}

int establish_protocol(ClientSession* session) {
  Buffer* buf = &session->buffer;
  Buffer_SetWireOrder(buf, kBigEndian);

  const uint8_t* magic = nullptr;
  if (Buffer_Get_raw(buf, &magic, sizeof kProtocolMagic) != 0 ||
      memcmp(magic, kProtocolMagic, sizeof kProtocolMagic) != 0) {
    debug_log('P', 1, "Bad protocol magic");
    return -1;
  }
  uint16_t revision = 0;
  if (Buffer_Get_u16(buf, &revision) != 0) return -1;
  debug_log('P', 2, "startup: protocol_revision = %x", revision);
  if (revision > kMaxClientRevision) {
    debug_log('P', 1, "incompatible client protocol_revision = %x", revision);
    return -1;
  }
  uint16_t byte_order = 0;
  if (Buffer_Get_u16(buf, &byte_order) != 0) return -1;
  debug_log('P', 2, "startup: byte_order = %s (%d)", byte_order_name(byte_order), byte_order);

  const char* platform = nullptr;
  const char* charset = nullptr;
  const char* os_user = "";
  // The three texts are the client's: logged escaped (debug_escape).
  const bool log_texts = debug_enabled('P', 2);
  if (Buffer_Get_str(buf, &platform) != 0) return -1;
  if (log_texts) debug_log('P', 2, "startup: platform = %s", LogText(platform).c_str());
  if (Buffer_Get_str(buf, &charset) != 0) return -1;
  if (log_texts) debug_log('P', 2, "startup: charset = %s", LogText(charset).c_str());
  if (revision != 0) {
    if (Buffer_Get_str(buf, &os_user) != 0) return -1;
    if (log_texts) debug_log('P', 2, "startup: os_user = %s", LogText(os_user).c_str());
  }
  if (byte_order != kBigEndian && byte_order != kLittleEndian) {
    debug_log('P', 1, "incompatible client byte_order = %d", byte_order);
    return -1;
  }

  // The challenge keys the logon's password cipher: it must not be
  // predictable, or a captured logon could be replayed.
  char challenge[kChallengeLen + 1];
  if (make_challenge(challenge) != 0) {
    debug_log('P', 1, "establish_protocol: unable to make the logon challenge");
    return -1;
  }
  uint32_t caps = kCapsAlways | kCapScan;
  if (scan_disabled()) {
    debug_log('P', 2, "SCAN API has been disabled");
    caps &= ~kCapScan;
  }

  session->protocol_revision = revision;
  session->client_byte_order = byte_order;
  if (!keep_copy(&session->platform, platform) || !keep_copy(&session->charset, charset) ||
      !keep_copy(&session->os_user, os_user) || !keep_copy(&session->challenge, challenge)) {
    debug_log('P', 1, "establish_protocol: memory allocation failed");
    return -1;
  }

  start_reply(session);
  Buffer_Put_u16(buf, kServerRevision);
  Buffer_Put_u16(buf, static_cast<uint16_t>(kLittleEndian));
  Buffer_Put_str(buf, kServerPlatform);
  Buffer_Put_str(buf, server_charset_name());
  Buffer_Put_u32(buf, caps);
  Buffer_Put_u32(buf, kSessionAreaSize);
  Buffer_Put_u32(buf, kMessageLimit);
  Buffer_Put_str(buf, session->challenge);
  // Everything after the handshake reply travels little-endian, whatever
  // order the client stated.
  Buffer_SetWireOrder(buf, kLittleEndian);
  return 0;
}

int handle_request(ClientSession* session) {
  debug_log('P', 2, "\n-----");
  if (session->state == State_Initial) {
    if (establish_protocol(session) != 0) return -1;
    if (dbml_open_session(session) != 0) return -1;
  } else {
    uint16_t request_class = 0;
    if (Buffer_Get_u16(&session->buffer, &request_class) != 0) return -1;
    int rc = -1;
    switch (request_class) {
      case RC_NOOP: rc = protocol_noop(session); break;
      case RC_DBML: rc = dbml_request(session); break;
      case RC_SYSCAT: rc = syscat_request(session); break;
      case RC_SCAN: rc = scan_request(session); break;
      case RC_MGMT: rc = mgmt_request(session); break;
      default:  // closed without a reply
        break;
    }
    if (rc != 0) return -1;
  }
  return finish_reply(session);
}
