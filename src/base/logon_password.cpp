// logon_password.cpp - logon challenge, key derivation and password
// decryption (see logon_password.h).
#include "base/logon_password.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "base/des.h"

namespace {

void* (*g_key_alloc)(size_t) = malloc;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int make_challenge(char* out) {
  uint8_t bytes[kChallengeLen / 2];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      debug_syserr('P', 0, errno, "getrandom");
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  for (size_t i = 0; i < sizeof bytes; ++i) snprintf(out + 2 * i, 3, "%02x", bytes[i]);
  return 0;
}

void des_set_key_alloc(void* (*alloc)(size_t)) { g_key_alloc = alloc != nullptr ? alloc : malloc; }

uint8_t* des_makekey(char* text) {
  auto* block = static_cast<uint8_t*>(g_key_alloc(kKeyBlockSize));
  if (block == nullptr) return nullptr;
  DesSchedules saved;
  des_save_schedules(&saved);
  des3_schedule_key2(kDesDefaultKey);
  uint8_t key[kDesKeySize];
  memcpy(key, kDesDefaultKey, sizeof key);
  // Every chunk of up to 8 characters goes through the cipher, and an empty
  // text still makes one pass.
  size_t i = 0;
  do {
    for (int k = 0; k < kDesKeySize && text[i] != '\0'; ++k, ++i) {
      key[k] ^= static_cast<uint8_t>(text[i] & 0x7f);
      text[i] = '\0';
    }
    des3_encrypt_block(key);
  } while (text[i] != '\0');
  des_restore_schedules(&saved);
  block[0] = kDesKeySize;
  memcpy(block + 1, key, sizeof key);
  return block;
}

int decrypt_msg_hex(const uint8_t* key, const char* hex, int hex_len, char** out) {
  if (key == nullptr || hex == nullptr || out == nullptr) return -1;
  if (key[0] != kDesKeySize) return -1;
  // A length that is not whole blocks would leave bytes unwritten or read
  // the padding count from before the buffer.
  if (hex_len <= 0 || hex_len % (2 * kDesBlockSize) != 0) return -1;
  const int n = hex_len / 2;
  auto* plain = static_cast<uint8_t*>(malloc(static_cast<size_t>(n)));
  if (plain == nullptr) return -1;
  for (int i = 0; i < n; ++i) {
    const int hi = hex_value(hex[2 * i]);
    const int lo = hi < 0 ? -1 : hex_value(hex[2 * i + 1]);  // never past a NUL
    if (lo < 0) {
      free(plain);
      return -1;
    }
    plain[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  des_schedule_key(key + 1);
  for (int off = 0; off < n; off += kDesBlockSize) des_decrypt_block(plain + off);
  const int pad = plain[n - 1];
  if (pad == 0 || pad > n) {
    explicit_bzero(plain, static_cast<size_t>(n));
    free(plain);
    return -1;
  }
  // The padding is no part of the password, whatever its bytes hold.
  memset(plain + (n - pad), 0, static_cast<size_t>(pad));
  *out = reinterpret_cast<char*>(plain);
  return n - pad;
}
