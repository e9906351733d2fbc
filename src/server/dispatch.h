// dispatch.h - the start-up handshake, the dispatch of a request by session
// state and request class, and the heads of replies.
//
// The first payload of a connection is always the handshake (big-endian);
// every later payload starts with the little-endian request head {u16
// request id, u16 request class}. Every reply starts with the request id and
// a u16 reply status, always 0. A message that cannot be decoded, a failed
// handshake and an unknown class close the connection without a reply;
// refusals a class handler decides are replies. docs/protocol.md is the
// client writer's reference.
//
// Runs in the connection's worker task, under one shared unit of the API lock.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/logon_password.h"  // make_challenge, kChallengeLen

struct ClientSession;

inline constexpr char kProtocolMagic[8] = {'Z', 'N', '.', 'D', 'B', 'S', 'R', 'V'};
inline constexpr uint16_t kMaxClientRevision = 255;
inline constexpr uint16_t kServerRevision = 1;
inline constexpr const char* kServerPlatform = "WIN32";
// Capability flags of the handshake reply; 16 says the SCAN class is offered.
inline constexpr uint32_t kCapScan = 16;
inline constexpr uint32_t kCapsAlways = 2 | 4 | 8 | 32;

enum RequestClass : uint16_t {
  RC_NOOP = 1,
  RC_DBML = 3,
  RC_SYSCAT = 4,
  RC_SCAN = 5,
  RC_MGMT = 6,
};

// Set by `DisableScan`: the handshake leaves out kCapScan and every SCAN
// request is refused.
bool scan_disabled();

// Decodes the payload in hand and builds and finishes its reply: 0 when a
// reply is ready for sending, -1 when the connection must be closed without
// one.
int handle_request(ClientSession* session);
// Reads the handshake and builds its reply; 0 or -1.
int establish_protocol(ClientSession* session);
// Largest request payload: 256 before the handshake, 0x100000 after it.
uint32_t message_size_limit(const ClientSession* session);
// Class 1: the reply head and nothing more; 0.
int protocol_noop(ClientSession* session);
// Starts a new reply with the head every reply carries: the request id and 0.
void start_reply(ClientSession* session);
// The success head of the catalog class: the reply head and u32 0; the
// caller appends the data.
void reply_success(ClientSession* session);
// The failure text reply: the reply head, u32 the task's last status code
// (-1 when none is set), the text (cut at kReplyTextMax characters) and 2
// bytes of padding; logged "reply_failed: %s" at P2. 0, or -1 when the
// reply could not be built.
inline constexpr size_t kReplyTextMax = 1023;
int reply_failed(ClientSession* session, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
