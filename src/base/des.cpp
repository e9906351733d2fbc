// des.cpp - DES and two-key triple DES over the calling thread's three
// schedules (see des.h). Nettle does the rounds.
#include "base/des.h"

#include <nettle/des.h>

#include <cstring>


namespace {

static_assert(sizeof(des_ctx) == sizeof(DesSchedules::words[0]),
              "a saved schedule holds exactly one Nettle key schedule");

// Per thread, so that two threads deriving keys at once cannot mix them.
thread_local des_ctx g_schedule[3];

}  // namespace

void des_schedule_key(const uint8_t key[kDesKeySize]) {
  // Nettle reports weak keys but sets the schedule all the same.
  (void)nettle_des_set_key(&g_schedule[0], key);
}

void des3_schedule_key2(const uint8_t key[2 * kDesKeySize]) {
  (void)nettle_des_set_key(&g_schedule[0], key);
  (void)nettle_des_set_key(&g_schedule[1], key + kDesKeySize);
  g_schedule[2] = g_schedule[0];
}

void des_encrypt_block(uint8_t block[kDesBlockSize]) {
  nettle_des_encrypt(&g_schedule[0], kDesBlockSize, block, block);
}

void des_decrypt_block(uint8_t block[kDesBlockSize]) {
  nettle_des_decrypt(&g_schedule[0], kDesBlockSize, block, block);
}

void des3_encrypt_block(uint8_t block[kDesBlockSize]) {
  nettle_des_encrypt(&g_schedule[0], kDesBlockSize, block, block);
  nettle_des_decrypt(&g_schedule[1], kDesBlockSize, block, block);
  nettle_des_encrypt(&g_schedule[2], kDesBlockSize, block, block);
}

void des3_decrypt_block(uint8_t block[kDesBlockSize]) {
  nettle_des_decrypt(&g_schedule[2], kDesBlockSize, block, block);
  nettle_des_encrypt(&g_schedule[1], kDesBlockSize, block, block);
  nettle_des_decrypt(&g_schedule[0], kDesBlockSize, block, block);
}

void des_save_schedules(DesSchedules* out) {
  for (int i = 0; i < 3; ++i) memcpy(out->words[i], &g_schedule[i], sizeof g_schedule[i]);
}

void des_restore_schedules(const DesSchedules* in) {
  for (int i = 0; i < 3; ++i) memcpy(&g_schedule[i], in->words[i], sizeof g_schedule[i]);
}
