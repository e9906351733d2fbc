// logon_cipher.h - the client's half of the logon password cipher, written
// for tests straight on Nettle and the documented steps, apart from the
// system's own code, so that a fault there cannot hide itself.
#pragma once
#include <cstdint>
#include <string>

namespace testsupport {

// The 8-byte DES key a client derives from a challenge text.
std::string client_derive_key(const std::string& challenge);

// The password padded to whole 8-byte blocks (at least one byte of padding;
// the last byte holds the count; the other padding bytes are fill), DES-ECB
// encrypted with key and written as hex (lowercase unless upper).
std::string client_encrypt_hex(const std::string& key, const std::string& password,
                               uint8_t fill = 0, bool upper = false);

// Both steps: the hex text a client sends for password under challenge.
std::string client_password_hex(const std::string& challenge, const std::string& password);

// The hex text of raw 8-byte-multiple plaintext encrypted with key.
std::string client_encrypt_raw_hex(const std::string& key, const std::string& plain);

}  // namespace testsupport
