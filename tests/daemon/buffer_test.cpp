// The daemon's message buffer: golden bytes of each item, the growth rule,
// character-set mapping both ways, and every decoding refusal as one table.
#include "daemon/buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/charset.h"
#include "support/log_capture.h"

namespace {

using zentsd::Buffer;
using Bytes = std::vector<uint8_t>;

Bytes sent(const Buffer& b) {
  return Bytes(b.SendPayload(), b.SendPayload() + b.SendLength());
}

void receive(Buffer& b, const Bytes& in) {
  b.ResetRecv();
  uint8_t* p = b.RecvAlloc(static_cast<uint32_t>(in.size()));
  ASSERT_NE(p, nullptr);
  if (!in.empty()) memcpy(p, in.data(), in.size());
}

TEST(DaemonBuffer, GoldenBytes) {
  Buffer b;
  b.PutString("ab");
  EXPECT_EQ(sent(b), (Bytes{0x00, 0x03, 'a', 'b', 0x00}));
  b.ResetSend();
  ASSERT_NE(b.PutObject(0), nullptr);
  EXPECT_EQ(sent(b), (Bytes{0x00, 0x00, 0x00, 0x01, 0x00}));
  b.ResetSend();
  b.PutU8(0x12);
  b.PutU16(0x3456);
  b.PutU32(0x789abcde);
  b.PutRawString("");
  b.PutFixed("ZN", 2);
  uint8_t* obj = b.PutObject(3);
  ASSERT_NE(obj, nullptr);
  memcpy(obj, "xyz", 3);
  EXPECT_EQ(sent(b), (Bytes{0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0x00, 0x01, 0x00, 'Z', 'N',
                            0x00, 0x00, 0x00, 0x04, 'x', 'y', 'z', 0x00}));
}

TEST(DaemonBuffer, GrowthRule) {
  Buffer b;
  b.PutFixed(std::string(5000, 'x').data(), 5000);
  EXPECT_EQ(b.SendCapacityWords(), ((5000u - 1) / 4) + 2 + 1024);
  // Within that capacity nothing new is taken; one byte beyond it grows.
  const uint32_t room = (b.SendCapacityWords() - 1) * 4 - b.SendLength();
  b.PutFixed(std::string(room, 'y').data(), room);
  EXPECT_EQ(b.SendCapacityWords(), ((5000u - 1) / 4) + 2 + 1024);
  b.PutU8(1);
  EXPECT_EQ(b.SendCapacityWords(), ((b.SendLength() - 1) / 4) + 2 + 1024);
  EXPECT_EQ(b.SendPayload()[0], 'x');
  EXPECT_EQ(b.SendPayload()[b.SendLength() - 1], 1);
}

TEST(DaemonBuffer, StringsAreMappedBothWaysRawStringsNever) {
  Buffer b;
  b.SetLocalCharset(CHARSET_ISO88591);
  EXPECT_EQ(b.SetRemoteCharset("native8"), CHARSET_NATIVE8);
  b.PutString("\xc0");     // ISO A-grave is NATIVE8 0xa1
  b.PutRawString("\xc0");
  EXPECT_EQ(sent(b), (Bytes{0, 2, 0xa1, 0, 0, 2, 0xc0, 0}));
  receive(b, Bytes{0, 2, 0xa1, 0, 0, 2, 0xa1, 0});
  const char* s = nullptr;
  ASSERT_EQ(b.GetString(&s), 0);
  EXPECT_STREQ(s, "\xc0");
  ASSERT_EQ(b.GetRawString(&s), 0);
  EXPECT_STREQ(s, "\xa1");
  EXPECT_EQ(b.SetRemoteCharset("latin1"), -1);
}

TEST(DaemonBuffer, ItemsRoundTrip) {
  Buffer out;
  out.PutU8(7);
  out.PutU16(65535);
  out.PutU32(1);
  out.PutString("text");
  memcpy(out.PutObject(4), "\x00\x01\x02\x03", 4);
  Buffer in;
  receive(in, sent(out));
  uint8_t a;
  uint16_t b;
  uint32_t c;
  const char* s;
  const uint8_t* o;
  uint32_t n;
  ASSERT_EQ(in.GetU8(&a), 0);
  ASSERT_EQ(in.GetU16(&b), 0);
  ASSERT_EQ(in.GetU32(&c), 0);
  ASSERT_EQ(in.GetString(&s), 0);
  ASSERT_EQ(in.GetObject(&o, &n), 0);
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, 65535);
  EXPECT_EQ(c, 1u);
  EXPECT_STREQ(s, "text");
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(memcmp(o, "\x00\x01\x02\x03", 4), 0);
  EXPECT_EQ(in.RecvOffset(), in.RecvSize());
}

enum class Item { U8, U16, U32, String, Object, Fixed8 };

int get(Buffer& b, Item item) {
  uint8_t v8;
  uint16_t v16;
  uint32_t v32, n;
  const char* s;
  const uint8_t* p;
  switch (item) {
    case Item::U8: return b.GetU8(&v8);
    case Item::U16: return b.GetU16(&v16);
    case Item::U32: return b.GetU32(&v32);
    case Item::String: return b.GetString(&s);
    case Item::Object: return b.GetObject(&p, &n);
    case Item::Fixed8: return b.GetFixed(&p, 8);
  }
  return 0;
}

TEST(DaemonBuffer, DecodingRefusals) {
  const struct {
    const char* what;
    Bytes message;
    uint32_t skip;  // bytes taken before the item
    Item item;
    const char* log;  // "" accepted
  } rows[] = {
      {"u16 at offset 9 of 10 bytes", Bytes(10, 0), 9, Item::U16, "Expected 16bit Integer at offset 9"},
      {"u16 that fits", Bytes(10, 0), 8, Item::U16, ""},
      {"u32 of 3 bytes", Bytes(3, 0), 0, Item::U32, "Expected 32bit Integer at offset 0"},
      {"u8 of nothing", Bytes{}, 0, Item::U8, "Expected 8bit Integer at offset 0"},
      {"a magic of 7 bytes", Bytes(7, 'Z'), 0, Item::Fixed8, "Expected Bytes at offset 0"},
      {"string count 0", Bytes{0, 0}, 0, Item::String, "Expected String at offset 0"},
      {"string without its zero byte", Bytes{0, 2, 'a', 'b'}, 0, Item::String, "Expected String at offset 0"},
      {"string longer than the message", Bytes{0, 5, 'a', 0}, 0, Item::String, "Expected String at offset 0"},
      {"string count cut short", Bytes{0}, 0, Item::String, "Expected String at offset 0"},
      {"empty string", Bytes{0, 1, 0}, 0, Item::String, ""},
      {"object count 0", Bytes{0, 0, 0, 0}, 0, Item::Object, "Expected Object at offset 0"},
      {"object count that would wrap", Bytes{0xff, 0xff, 0xff, 0xff, 'x'}, 0, Item::Object,
       "Expected Object at offset 0"},
      {"object count past the end", Bytes{0, 0, 0, 3, 'x', 0}, 0, Item::Object, "Expected Object at offset 0"},
      {"empty object", Bytes{0, 0, 0, 1, 0}, 0, Item::Object, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    testsupport::LogCapture log("P0");
    Buffer b;
    receive(b, row.message);
    const uint8_t* skipped;
    ASSERT_EQ(b.GetFixed(&skipped, row.skip), 0);
    const int rc = get(b, row.item);
    if (row.log[0] == '\0') {
      EXPECT_EQ(rc, 0);
      EXPECT_FALSE(log.contains("Unable to decode")) << log.text();
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(b.RecvOffset(), row.skip) << "a refused item is not consumed";
      EXPECT_TRUE(log.contains(std::string("Unable to decode server message. ") + row.log)) << log.text();
    }
  }
}

TEST(DaemonBuffer, TextsTooLongForTheirCountAreRefused) {
  Buffer b;
  EXPECT_EQ(b.PutString(std::string(65534, 'a').c_str()), 0);
  EXPECT_EQ(b.PutString(std::string(65535, 'a').c_str()), -1);
  testsupport::LogCapture log("P0");
  EXPECT_EQ(b.Send(-1), -1) << "a message that could not be built is never sent";
}

}  // namespace
