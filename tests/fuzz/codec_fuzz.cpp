// libFuzzer target for the message codec. The input is a small script and a
// payload: every decoded item is put again into the outgoing message, so the
// run checks that decoding never reads outside the payload or asserts, and
// that what was decoded encodes back to the same bytes.
//
// Input: byte 0 control bits (wire order, charsets, no-grow, a small reply
// cap), byte 1 the number of script bytes, then the script, then the payload.
//
// With control bit 0x80 the input is instead a logon password's cipher text
// for the hex cipher decoder: bytes 1-9 the key block, the rest the hex
// text (not terminated, so a read past its length is caught). A refusal
// hands nothing out; a password ends where its padding begins and the
// padding is zeroed. The key derivation runs over the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/debug_log.h"
#include "base/logon_password.h"
#include "server/buffer.h"

namespace {

bool quiet_log() {
  debug_set_stream(fopen("/dev/null", "w"));
  debug_set_flags("");
  return true;
}

struct Run {
  std::vector<uint8_t> out;
  bool send_failed = false;
};

// Decodes payload by script and re-encodes each item; returns the message built.
Run run(uint8_t control, const uint8_t* script, size_t nscript, const uint8_t* payload,
        size_t npayload) {
  static uint8_t send_area[64];
  static uint8_t recv_area[64];
  Buffer b;
  Buffer_Init(&b);
  Buffer_SetSendArea(&b, send_area, sizeof send_area, control & 0x08);
  Buffer_SetRecvArea(&b, recv_area, sizeof recv_area, 0);
  Buffer_SetWireOrder(&b, control & 0x01 ? kBigEndian : kLittleEndian);
  if (control & 0x02) Buffer_SetCharsets(&b, 0, 1);
  if (control & 0x04) Buffer_SetCharsets(&b, 1, 0);
  if (control & 0x10) Buffer_SetSendLimit(&b, 256);
  Buffer_SetContext(&b, "fuzz");

  uint8_t* in = Buffer_RecvArea(&b, static_cast<uint32_t>(npayload));
  if (in == nullptr) abort();
  if (npayload > 0) memcpy(in, payload, npayload);

  for (size_t i = 0; i < nscript; ++i) {
    const uint8_t op = script[i];
    const uint32_t arg = op >> 3;
    switch (op & 7) {
      case 0: {
        uint8_t v;
        if (Buffer_Get_u8(&b, &v) == 0) Buffer_Put_u8(&b, v);
        break;
      }
      case 1: {
        uint16_t v;
        if (Buffer_Get_u16(&b, &v) == 0) Buffer_Put_u16(&b, v);
        break;
      }
      case 2: {
        uint32_t v;
        if (Buffer_Get_u32(&b, &v) == 0) Buffer_Put_u32(&b, v);
        break;
      }
      case 3: {
        const char* s;
        if (Buffer_Get_str(&b, &s) == 0) {
          // The text must end inside the payload.
          const auto* p = reinterpret_cast<const uint8_t*>(s);
          if (p < b.recv_buf || p >= b.recv_buf + b.recv_size) abort();
          if (memchr(p, 0, static_cast<size_t>(b.recv_buf + b.recv_size - p)) == nullptr) abort();
          Buffer_Put_str(&b, s);
        }
        break;
      }
      case 4: {
        const uint8_t* p;
        uint32_t n;
        if (Buffer_Get_obj(&b, &p, &n) == 0) {
          if (n > 0 && (p < b.recv_buf || n > b.recv_size || p + n > b.recv_buf + b.recv_size))
            abort();
          if (uint8_t* dst = Buffer_Put_obj(&b, n)) memcpy(dst, p, n);
        }
        break;
      }
      case 5:
        Buffer_Get_align(&b, arg % 8 + 1);
        if (!Buffer_RecvFailed(&b)) Buffer_Put_align(&b, arg % 8 + 1);
        break;
      case 6: {
        const uint8_t* p;
        if (Buffer_Get_raw(&b, &p, arg) == 0) {
          if (uint8_t* dst = Buffer_Put_raw(&b, arg)) memcpy(dst, p, arg);
        }
        break;
      }
      case 7: {
        const uint8_t* p;
        if (Buffer_Get_raw(&b, &p, arg) == 0)
          Buffer_Put_nzstr(&b, reinterpret_cast<const char*>(p), arg);
        break;
      }
    }
    if (b.recv_pos > b.recv_size) abort();
  }

  Run r;
  r.send_failed = Buffer_SendFailed(&b) != 0;
  if (!r.send_failed) {
    Buffer_Finish(&b);
    const uint8_t* msg = Buffer_SendData(&b);
    const uint32_t size = Buffer_SendSize(&b);
    const uint32_t len = uint32_t{msg[0]} << 24 | uint32_t{msg[1]} << 16 | uint32_t{msg[2]} << 8 | msg[3];
    if (len + 4 != size) abort();
    r.out.assign(msg + 4, msg + size);
  }
  Buffer_Free(&b);
  return r;
}

void cipher(const uint8_t* data, size_t size) {
  if (size < 1 + kKeyBlockSize) return;
  const uint8_t* key = data + 1;
  const std::vector<char> hex(data + 1 + kKeyBlockSize, data + size);
  char* out = nullptr;
  const int n = decrypt_msg_hex(key, hex.data(), static_cast<int>(hex.size()), &out);
  if (n < 0) {
    if (out != nullptr) abort();
  } else {
    const size_t plain = hex.size() / 2;
    if (out == nullptr || hex.size() % 16 != 0 || static_cast<size_t>(n) >= plain) abort();
    if (static_cast<uint8_t>(out[plain - 1]) != 0) abort();
    for (size_t i = static_cast<size_t>(n); i < plain; ++i)
      if (out[i] != 0) abort();
    free(out);
  }
  std::vector<char> text(hex);
  text.push_back('\0');
  const size_t len = strlen(text.data());
  uint8_t* block = des_makekey(text.data());
  if (block == nullptr) abort();
  if (block[0] != 8) abort();
  for (size_t i = 0; i < len; ++i)
    if (text[i] != 0) abort();  // the text is consumed up to its end
  free(block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = quiet_log();
  (void)quiet;
  if (size < 2) return 0;
  if (data[0] & 0x80) {
    cipher(data, size);
    return 0;
  }
  const uint8_t control = data[0];
  const size_t nscript = data[1] < size - 2 ? data[1] : size - 2;
  const uint8_t* script = data + 2;
  const uint8_t* payload = script + nscript;
  const size_t npayload = size - 2 - nscript;

  const Run first = run(control, script, nscript, payload, npayload);
  // Without character-set translation, what was decoded encodes back to
  // itself: running the script over the first output gives it again.
  if (!first.send_failed && (control & 0x06) == 0) {
    const Run second = run(control, script, nscript, first.out.data(), first.out.size());
    if (second.send_failed || second.out != first.out) abort();
  }
  return 0;
}
