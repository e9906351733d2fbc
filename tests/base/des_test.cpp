// DES and the logon password functions: known answers of the cipher, the key
// derivation against the client's own derivation, and every refusal of
// decrypt_msg_hex, as tables.
#include "base/des.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/logon_password.h"
#include "support/logon_cipher.h"

namespace {

std::string unhex(const char* hex) {
  std::string out;
  for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  return out;
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct KnownAnswer {
  const char* key;
  const char* plain;
  const char* cipher;
};

// Published single-DES answers, the weak keys included (they must be
// accepted, not refused).
constexpr KnownAnswer kSingle[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0101010101010101", "0000000000000000", "8CA64DE9C1B123A7"},
    {"FEFEFEFEFEFEFEFE", "FFFFFFFFFFFFFFFF", "7359B2163E4EDC58"},
    {"3000000000000000", "1000000000000001", "958E6E627A05557B"},
};

TEST(Des, SingleKnownAnswersBothWays) {
  for (const KnownAnswer& k : kSingle) {
    SCOPED_TRACE(k.key);
    const std::string key = unhex(k.key);
    std::string block = unhex(k.plain);
    des_schedule_key(bytes(key));
    des_encrypt_block(reinterpret_cast<uint8_t*>(block.data()));
    EXPECT_EQ(block, unhex(k.cipher));
    des_decrypt_block(reinterpret_cast<uint8_t*>(block.data()));
    EXPECT_EQ(block, unhex(k.plain));
  }
}

TEST(Des, TwoKeyTripleDesIsEncryptDecryptEncrypt) {
  // Equal halves reduce to single DES, a published answer.
  std::string key = unhex("133457799BBCDFF1133457799BBCDFF1");
  std::string block = unhex("0123456789ABCDEF");
  des3_schedule_key2(bytes(key));
  des3_encrypt_block(reinterpret_cast<uint8_t*>(block.data()));
  EXPECT_EQ(block, unhex("85E813540F0AB405"));

  // Different halves: the first key again in the third place.
  key = unhex("0123456789ABCDEF23456789ABCDEF01");
  const std::string plain = unhex("5468652071756663");
  block = plain;
  des3_schedule_key2(bytes(key));
  des3_encrypt_block(reinterpret_cast<uint8_t*>(block.data()));
  std::string expect = plain;
  des_schedule_key(bytes(key));
  des_encrypt_block(reinterpret_cast<uint8_t*>(expect.data()));
  des_schedule_key(bytes(key) + 8);
  des_decrypt_block(reinterpret_cast<uint8_t*>(expect.data()));
  des_schedule_key(bytes(key));
  des_encrypt_block(reinterpret_cast<uint8_t*>(expect.data()));
  EXPECT_EQ(block, expect);
  des3_schedule_key2(bytes(key));
  des3_decrypt_block(reinterpret_cast<uint8_t*>(block.data()));
  EXPECT_EQ(block, plain);
}

TEST(Des, KeyDerivationLeavesTheSchedulesAsItFoundThem) {
  const std::string key = unhex("133457799BBCDFF1");
  des_schedule_key(bytes(key));
  char text[] = "0123456789abcdef0123456789abcdef";
  free(des_makekey(text));
  std::string block = unhex("0123456789ABCDEF");
  des_encrypt_block(reinterpret_cast<uint8_t*>(block.data()));
  EXPECT_EQ(block, unhex("85E813540F0AB405"));
}

std::string makekey(std::string text) {
  uint8_t* block = des_makekey(text.data());
  EXPECT_NE(block, nullptr);
  if (block == nullptr) return {};
  EXPECT_EQ(block[0], 8);
  for (char c : text) {
    EXPECT_EQ(c, '\0') << "the text is consumed";
  }
  std::string key(reinterpret_cast<char*>(block + 1), 8);
  free(block);
  return key;
}

TEST(LogonPassword, KeyDerivation) {
  struct Row {
    std::string text;
    std::string same_as;  // derives the same key, or "" for the client's own derivation
  };
  const std::string high = std::string("\xb0\xb1\xe1\xe2") + "xyz";
  const Row rows[] = {
      {"", ""},                                      // one pass even without text
      {"abc", ""},                                   // one short chunk
      {"0123456789abcdef0123456789abcdef", ""},      // a challenge: four passes
      {"0123456789", ""},                            // a chunk and a part
      {high, std::string("01ab") + "xyz"},           // only 7 bits of a character count
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    const std::string key = makekey(r.text);
    EXPECT_EQ(key, testsupport::client_derive_key(r.text));
    if (!r.same_as.empty()) {
      EXPECT_EQ(key, makekey(r.same_as));
    }
  }
  // Texts that differ only after their 8th character: every chunk counts.
  EXPECT_NE(makekey("abcdefgh1"), makekey("abcdefgh2"));
  EXPECT_NE(makekey("0123456789abcdef0123456789abcdef"), makekey("0123456789abcdef0123456789abcdeF"));
}

TEST(LogonPassword, Decryption) {
  const std::string challenge = "00112233445566778899aabbccddeeff";
  const std::string key = testsupport::client_derive_key(challenge);
  uint8_t block[kKeyBlockSize] = {8};
  memcpy(block + 1, key.data(), 8);
  uint8_t bad_block[kKeyBlockSize] = {7};
  memcpy(bad_block + 1, key.data(), 8);

  const std::string secret = testsupport::client_encrypt_hex(key, "secret");
  struct Row {
    const char* what;
    std::string hex;
    const uint8_t* key;
    int result;  // length, or -1
    std::string password;
  };
  const Row rows[] = {
      {"a password", secret, block, 6, "secret"},
      {"upper-case digits", testsupport::client_encrypt_hex(key, "secret", 0, true), block, 6,
       "secret"},
      {"plaintext ending in 3", testsupport::client_encrypt_raw_hex(key, "abcde\x01\x02\x03"), block,
       5, "abcde"},
      {"padding bytes that are not zero end the password",
       testsupport::client_encrypt_hex(key, "pw", 'X'), block, 2, "pw"},
      {"a whole block of padding", testsupport::client_encrypt_hex(key, "12345678"), block, 8,
       "12345678"},
      {"padding the size of the text: no password",
       testsupport::client_encrypt_raw_hex(key, std::string(7, 'x') + "\x08"), block, 0, ""},
      {"two blocks", testsupport::client_encrypt_hex(key, "a longer secret"), block, 15,
       "a longer secret"},
      {"key block of another length", secret, bad_block, -1, ""},
      {"empty", "", block, -1, ""},
      {"half a block", secret.substr(0, 8), block, -1, ""},
      {"one digit short", secret.substr(0, 15), block, -1, ""},
      {"one digit over", secret + "0", block, -1, ""},
      {"a block and a half", secret + secret.substr(0, 8), block, -1, ""},
      {"not a hex digit", "g" + secret.substr(1), block, -1, ""},
      {"a blank", secret.substr(0, 15) + " ", block, -1, ""},
      {"padding count 0", testsupport::client_encrypt_raw_hex(key, std::string(7, 'x') + '\0'), block,
       -1, ""},
      {"padding count above the length",
       testsupport::client_encrypt_raw_hex(key, std::string(7, 'x') + "\x09"), block, -1, ""},
      {"padding count 255", testsupport::client_encrypt_raw_hex(key, std::string(7, 'x') + "\xff"),
       block, -1, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    char* out = nullptr;
    const int n = decrypt_msg_hex(r.key, r.hex.c_str(), static_cast<int>(r.hex.size()), &out);
    ASSERT_EQ(n, r.result);
    if (n < 0) {
      EXPECT_EQ(out, nullptr);
      continue;
    }
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), r.password);
    for (size_t i = static_cast<size_t>(n); i < r.hex.size() / 2; ++i) EXPECT_EQ(out[i], '\0');
    free(out);
  }
}

// The worked examples of the protocol notes (docs/protocol.md and
// docs/zentsd-protocol.md) with the default key they give: a client written
// from a note alone must log on.
TEST(LogonPassword, WorkedExamplesOfTheProtocolNotes) {
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(kDesDefaultKey), 24),
            unhex("5a3e91c4276bd80fa1743ce952881db64fc2970a6e35fb21"));
  struct Example {
    std::string challenge;
    const char* key;
    const char* cipher;
  };
  const Example examples[] = {
      {"3f1c0a9e5b7d2c4e8a6f0b1d3c5e7a9b", "8aa87465707cfe73", "7e66066d67290caa"},
      {"0123456789abcdef0123456789abcdef", "1fe8e3d35b5153d9", "2e698e5e87ceba81"},
  };
  for (Example e : examples) {
    SCOPED_TRACE(e.challenge);
    uint8_t* key = des_makekey(e.challenge.data());
    ASSERT_NE(key, nullptr);
    const std::string k(reinterpret_cast<char*>(key + 1), 8);
    EXPECT_EQ(k, unhex(e.key));
    EXPECT_EQ(testsupport::client_encrypt_hex(k, "secret"), e.cipher);
    char* out = nullptr;
    EXPECT_EQ(decrypt_msg_hex(key, e.cipher, 16, &out), 6);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "secret");
    free(out);
    free(key);
  }
}

TEST(LogonPassword, ChallengeIsRandomLowercaseHex) {
  char a[kChallengeLen + 1], b[kChallengeLen + 1];
  ASSERT_EQ(make_challenge(a), 0);
  ASSERT_EQ(make_challenge(b), 0);
  EXPECT_EQ(strlen(a), 32u);
  EXPECT_EQ(strspn(a, "0123456789abcdef"), 32u);
  EXPECT_STRNE(a, b);
}

}  // namespace
