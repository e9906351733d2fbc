// des.h - the DES block cipher (ECB, one 8-byte block at a time) and
// two-key triple DES, over three key schedules.
//
// The schedules are the state of the calling thread: a single-DES operation
// uses the first, a triple-DES operation all three (encrypt with the first,
// decrypt with the second, encrypt with the third). Setting a key replaces
// the schedule; des_save_schedules and des_restore_schedules let a caller
// (the key derivation) borrow them and leave them as it found them. A block
// is taken as two big-endian 32-bit halves, as the standard numbers its bits.
// The cipher itself is Nettle's; no call allocates or fails.
#pragma once
#include <cstdint>

inline constexpr int kDesKeySize = 8;
inline constexpr int kDesBlockSize = 8;

// All three schedules, as saved and restored.
struct DesSchedules {
  uint32_t words[3][32];
};

// Sets the first schedule from an 8-byte key (parity bits ignored, weak keys
// accepted); it serves encryption and decryption alike.
void des_schedule_key(const uint8_t key[kDesKeySize]);
// Two-key triple DES: the first and third schedules from key[0..7], the
// second from key[8..15].
void des3_schedule_key2(const uint8_t key[2 * kDesKeySize]);

// One block in place with the first schedule.
void des_encrypt_block(uint8_t block[kDesBlockSize]);
void des_decrypt_block(uint8_t block[kDesBlockSize]);
// One block in place, encrypt-decrypt-encrypt (decrypt: the inverse).
void des3_encrypt_block(uint8_t block[kDesBlockSize]);
void des3_decrypt_block(uint8_t block[kDesBlockSize]);

void des_save_schedules(DesSchedules* out);
void des_restore_schedules(const DesSchedules* in);
