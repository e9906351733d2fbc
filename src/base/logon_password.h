// logon_password.h - the logon challenge and the password cipher: the
// challenge a server or the session daemon hands a client, the DES key a
// client and the receiver both derive from it (des_makekey), and the
// decryption of the password the client sends as hexadecimal text
// (decrypt_msg_hex). Encryption is the client's; docs/protocol.md and
// docs/zentsd-protocol.md show it step by step.
//
// Everything a client sends is refused with -1 before it is used. Key
// derivation borrows the calling thread's DES schedules and restores them.
#pragma once
#include <cstddef>
#include <cstdint>

// Hex digits of a logon challenge.
inline constexpr int kChallengeLen = 32;

// The built-in key of every program of the system and every client: three
// DES keys, of which the derivation uses the first two (two-key triple DES).
inline constexpr uint8_t kDesDefaultKey[24] = {
    0x5a, 0x3e, 0x91, 0xc4, 0x27, 0x6b, 0xd8, 0x0f, 0xa1, 0x74, 0x3c, 0xe9,
    0x52, 0x88, 0x1d, 0xb6, 0x4f, 0xc2, 0x97, 0x0a, 0x6e, 0x35, 0xfb, 0x21};

// Key block: byte 0 the key length (8), bytes 1..8 the DES key.
inline constexpr int kKeyBlockSize = 9;

// 32 lowercase hex digits of 16 random bytes from the kernel, terminated, in
// out (kChallengeLen + 1 bytes). 0, or -1 when no random bytes could be had
// (logged under P).
int make_challenge(char* out);

// Derives the key block from text (any length, each character taken as 7
// bits) and zeroes text's characters as it goes, so callers pass a copy of
// the challenge. Returns a block from malloc that the caller frees, or none
// when memory ran out.
uint8_t* des_makekey(char* text);
// The allocator des_makekey takes its block from. Fault-injection tests
// replace it; none restores malloc.
void des_set_key_alloc(void* (*alloc)(size_t));

// Decrypts hex_len hex digits (either case) with the key block into a new
// buffer of hex_len / 2 bytes that the caller frees: the password, ended by
// a zero byte where the padding began. Returns the password's length, or -1
// (nothing to free) when the key block's length byte is not 8, hex_len is not
// a positive multiple of 16, a character is not a hex digit, the padding
// count in the last byte is 0 or larger than the decoded length, or memory
// ran out.
int decrypt_msg_hex(const uint8_t* key, const char* hex, int hex_len, char** out);
