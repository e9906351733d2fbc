// logon_cipher.cpp - the client's side of the logon cipher (see
// logon_cipher.h).
#include "support/logon_cipher.h"

#include <nettle/des.h>

#include <cctype>
#include <cstdio>

#include "base/logon_password.h"  // the default key only

namespace testsupport {

std::string client_derive_key(const std::string& challenge) {
  uint8_t k3[24];
  for (int i = 0; i < 16; ++i) k3[i] = kDesDefaultKey[i];
  for (int i = 0; i < 8; ++i) k3[16 + i] = kDesDefaultKey[i];
  des3_ctx ctx;
  des3_set_key(&ctx, k3);
  uint8_t key[8];
  for (int i = 0; i < 8; ++i) key[i] = kDesDefaultKey[i];
  size_t at = 0;
  do {
    for (int k = 0; k < 8 && at < challenge.size(); ++k, ++at)
      key[k] ^= static_cast<uint8_t>(challenge[at] & 0x7f);
    des3_encrypt(&ctx, 8, key, key);
  } while (at < challenge.size());
  return std::string(reinterpret_cast<char*>(key), 8);
}

std::string client_encrypt_raw_hex(const std::string& key, const std::string& plain) {
  des_ctx ctx;
  des_set_key(&ctx, reinterpret_cast<const uint8_t*>(key.data()));
  std::string out;
  for (size_t off = 0; off + 8 <= plain.size(); off += 8) {
    uint8_t block[8];
    des_encrypt(&ctx, 8, block, reinterpret_cast<const uint8_t*>(plain.data() + off));
    char hex[3];
    for (uint8_t b : block) {
      snprintf(hex, sizeof hex, "%02x", b);
      out += hex;
    }
  }
  return out;
}

std::string client_encrypt_hex(const std::string& key, const std::string& password, uint8_t fill,
                               bool upper) {
  std::string plain = password;
  const size_t pad = 8 - plain.size() % 8;
  plain.append(pad - 1, static_cast<char>(fill));
  plain.push_back(static_cast<char>(pad));
  std::string hex = client_encrypt_raw_hex(key, plain);
  if (upper)
    for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return hex;
}

std::string client_password_hex(const std::string& challenge, const std::string& password) {
  return client_encrypt_hex(client_derive_key(challenge), password);
}

}  // namespace testsupport
