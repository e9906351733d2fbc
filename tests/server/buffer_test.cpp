// Message codec: encodings against golden bytes, alignment, growth out of the
// fixed area, sticky failure flags, and refusal of malformed input.
#include "server/buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/charset.h"
#include "support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

class BufferTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kArea = 64;
  void SetUp() override {
    Buffer_Init(&buf_);
    memset(send_area_, 0xAA, sizeof send_area_);
    Buffer_SetSendArea(&buf_, send_area_, kArea, 0);
    Buffer_SetRecvArea(&buf_, recv_area_, kArea, 0);
  }
  void TearDown() override {
    Buffer_Free(&buf_);
    Buffer_SetHeap(nullptr);
  }
  // The finished message's payload (after the length word).
  Bytes payload() {
    Buffer_Finish(&buf_);
    const uint8_t* p = Buffer_SendData(&buf_);
    return Bytes(p + 4, p + Buffer_SendSize(&buf_));
  }
  void receive(const Bytes& bytes) {
    Buffer_RecvReset(&buf_);
    uint8_t* p = Buffer_RecvArea(&buf_, static_cast<uint32_t>(bytes.size()));
    ASSERT_NE(p, nullptr);
    if (!bytes.empty()) memcpy(p, bytes.data(), bytes.size());
  }
  Buffer buf_;
  uint8_t send_area_[kArea];
  uint8_t recv_area_[kArea];
};

TEST_F(BufferTest, IntegersFollowTheWireOrderAndTheLengthWordIsAlwaysBigEndian) {
  for (uint32_t order : {kBigEndian, kLittleEndian}) {
    Buffer_SendReset(&buf_);
    Buffer_SetWireOrder(&buf_, order);
    Buffer_Put_u8(&buf_, 0x01);
    Buffer_Put_u16(&buf_, 0x0203);
    Buffer_Put_u32(&buf_, 0x04050607);
    Buffer_Put_i16(&buf_, -2);
    Buffer_Finish(&buf_);
    const uint8_t* p = Buffer_SendData(&buf_);
    EXPECT_EQ(Bytes(p, p + 4), (Bytes{0, 0, 0, 9}));
    const Bytes be{1, 2, 3, 4, 5, 6, 7, 0xff, 0xfe};
    const Bytes le{1, 3, 2, 7, 6, 5, 4, 0xfe, 0xff};
    EXPECT_EQ(Bytes(p + 4, p + 13), order == kBigEndian ? be : le) << order;
  }
}

TEST_F(BufferTest, StrGoldenBytesInBothOrders) {
  Buffer_SetWireOrder(&buf_, kBigEndian);
  Buffer_Put_str(&buf_, "abc");
  EXPECT_EQ(payload(), (Bytes{0x00, 0x04, 'a', 'b', 'c', 0x00}));
  Buffer_SendReset(&buf_);
  Buffer_SetWireOrder(&buf_, kLittleEndian);
  Buffer_Put_str(&buf_, "abc");
  EXPECT_EQ(payload(), (Bytes{0x04, 0x00, 'a', 'b', 'c', 0x00}));
}

TEST_F(BufferTest, ObjAndNzstrEncodings) {
  Buffer_SetWireOrder(&buf_, kLittleEndian);
  uint8_t* p = Buffer_Put_obj(&buf_, 3);
  ASSERT_NE(p, nullptr);
  memcpy(p, "xyz", 3);
  Buffer_Put_nzstr(&buf_, "hello", 2);
  EXPECT_EQ(payload(), (Bytes{3, 0, 0, 0, 'x', 'y', 'z', 'h', 'e'}));
}

struct AlignCase {
  uint32_t position;
  uint32_t align;
  uint32_t pad;
};

class PutAlignTest : public BufferTest, public ::testing::WithParamInterface<AlignCase> {};

// Padding is never 0 bytes: an aligned position gets a whole unit. The pad
// bytes go out zeroed even where the area held other data before.
TEST_P(PutAlignTest, PadsOneToAlignZeroBytes) {
  const AlignCase c = GetParam();
  Buffer_Put_raw(&buf_, c.position);
  Buffer_Put_align(&buf_, c.align);
  const Bytes out = payload();
  ASSERT_EQ(out.size(), c.position + c.pad);
  for (uint32_t i = c.position; i < out.size(); ++i) EXPECT_EQ(out[i], 0) << "pad byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, PutAlignTest,
                         ::testing::Values(AlignCase{8, 4, 4}, AlignCase{9, 4, 3},
                                           AlignCase{0, 4, 4}, AlignCase{7, 8, 1},
                                           AlignCase{5, 1, 1}),
                         [](const ::testing::TestParamInfo<AlignCase>& p) {
                           return "At" + std::to_string(p.param.position) + "To" +
                                  std::to_string(p.param.align);
                         });

TEST_F(BufferTest, GetAlignSkipsPaddingAndFailsPastTheEnd) {
  receive(Bytes(14, 0));
  const uint8_t* p;
  ASSERT_EQ(Buffer_Get_raw(&buf_, &p, 9), 0);
  Buffer_Get_align(&buf_, 4);
  EXPECT_EQ(buf_.recv_pos, 12u);
  EXPECT_EQ(Buffer_RecvFailed(&buf_), 0);
  Buffer_Get_align(&buf_, 4);  // 12 + 4 > 14
  EXPECT_EQ(Buffer_RecvFailed(&buf_), -1);
}

TEST_F(BufferTest, DecodesWhatWasEncoded) {
  Buffer_SetWireOrder(&buf_, kBigEndian);
  Buffer_Put_u16(&buf_, 0xBEEF);
  Buffer_Put_str(&buf_, "name");
  Buffer_Put_i32(&buf_, -7);
  memcpy(Buffer_Put_obj(&buf_, 2), "ok", 2);
  receive(payload());
  uint16_t u16;
  const char* s;
  int32_t i32;
  const uint8_t* obj;
  uint32_t n;
  ASSERT_EQ(Buffer_Get_u16(&buf_, &u16), 0);
  ASSERT_EQ(Buffer_Get_str(&buf_, &s), 0);
  ASSERT_EQ(Buffer_Get_i32(&buf_, &i32), 0);
  ASSERT_EQ(Buffer_Get_obj(&buf_, &obj, &n), 0);
  EXPECT_EQ(u16, 0xBEEF);
  EXPECT_STREQ(s, "name");
  EXPECT_EQ(i32, -7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(obj), n), "ok");
}

TEST_F(BufferTest, ShortU16FailsWithItsOffsetAndLaterGetsFailQuietly) {
  testsupport::LogCapture log("P0");
  receive({1, 2, 3});
  uint16_t v = 99;
  ASSERT_EQ(Buffer_Get_u16(&buf_, &v), 0);
  EXPECT_EQ(Buffer_Get_u16(&buf_, &v), -1);
  EXPECT_EQ(v, 0);
  EXPECT_TRUE(log.contains("Unable to decode message. Expected 16bit Integer at offset 2"));
  uint8_t b = 7;
  EXPECT_EQ(Buffer_Get_u8(&buf_, &b), -1);  // the byte is there, but decoding has failed
  EXPECT_EQ(b, 0);
  EXPECT_EQ(log.text().find("8bit Integer"), std::string::npos);
}

// Malformed counted items from the wire: each must fail the decoding
// (never assert, never read past the payload).
struct BadInput {
  const char* name;
  Bytes bytes;
  enum Kind { Str, Obj, Raw0 } kind;
};

class BadInputTest : public BufferTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(BadInputTest, IsADecodingFailure) {
  const BadInput& c = GetParam();
  receive(c.bytes);
  Buffer_SetWireOrder(&buf_, kLittleEndian);
  int rc = 0;
  switch (c.kind) {
    case BadInput::Str: {
      const char* s = nullptr;
      rc = Buffer_Get_str(&buf_, &s);
      EXPECT_STREQ(s, "");
      break;
    }
    case BadInput::Obj: {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(1);
      uint32_t n = 1;
      rc = Buffer_Get_obj(&buf_, &p, &n);
      EXPECT_EQ(p, nullptr);
      EXPECT_EQ(n, 0u);
      break;
    }
    case BadInput::Raw0: {
      const uint8_t* p;
      rc = Buffer_Get_raw(&buf_, &p, 0);
      break;
    }
  }
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(Buffer_RecvFailed(&buf_), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadInputTest,
    ::testing::Values(
        BadInput{"StrCountZero", {0, 0, 'a'}, BadInput::Str},
        BadInput{"StrShort", {5, 0, 'a', 'b', 0}, BadInput::Str},
        BadInput{"StrNotTerminated", {3, 0, 'a', 'b', 'c'}, BadInput::Str},
        BadInput{"StrNoCount", {4}, BadInput::Str},
        // A count near 2^32 must not wrap position + count into range.
        BadInput{"ObjCountWraps", {0xfc, 0xff, 0xff, 0xff, 1, 2, 3, 4}, BadInput::Obj},
        BadInput{"ObjCountMax", {0xff, 0xff, 0xff, 0xff, 1}, BadInput::Obj},
        BadInput{"ObjShort", {5, 0, 0, 0, 1, 2}, BadInput::Obj},
        BadInput{"RawSizeZero", {1, 2, 3}, BadInput::Raw0}),
    [](const ::testing::TestParamInfo<BadInput>& p) { return std::string(p.param.name); });

TEST_F(BufferTest, RawGetAfterAFailureFailsInsteadOfAsserting) {
  receive({1});
  uint32_t v;
  EXPECT_EQ(Buffer_Get_u32(&buf_, &v), -1);
  const uint8_t* p;
  EXPECT_EQ(Buffer_Get_raw(&buf_, &p, 1), -1);
  EXPECT_EQ(p, nullptr);
}

TEST_F(BufferTest, ObjCountZeroSucceedsEmpty) {
  receive({0, 0, 0, 0});
  const uint8_t* p;
  uint32_t n = 5;
  EXPECT_EQ(Buffer_Get_obj(&buf_, &p, &n), 0);
  EXPECT_EQ(n, 0u);
}

TEST_F(BufferTest, LongTextIsCutSoItsCountFits16Bits) {
  const std::string text(70000, 'x');
  Buffer_SetWireOrder(&buf_, kLittleEndian);
  Buffer_Put_str(&buf_, text.c_str());
  const Bytes out = payload();
  ASSERT_EQ(out.size(), 2u + 65535u);
  EXPECT_EQ(out[0] | out[1] << 8, 65535);
  EXPECT_EQ(out.back(), 0);
  receive(out);
  const char* s;
  ASSERT_EQ(Buffer_Get_str(&buf_, &s), 0);
  EXPECT_EQ(strlen(s), 65534u);
}

TEST_F(BufferTest, OutgrowingTheAreaMovesThePayloadToTheHeapAndResetReturnsToTheArea) {
  for (uint8_t i = 0; i < 60; ++i) Buffer_Put_u8(&buf_, i);  // 60 + 4 fits 64
  EXPECT_EQ(buf_.send_buf, send_area_);
  Buffer_Put_u8(&buf_, 60);
  EXPECT_NE(buf_.send_buf, send_area_);
  const Bytes out = payload();
  ASSERT_EQ(out.size(), 61u);
  for (uint8_t i = 0; i < 61; ++i) EXPECT_EQ(out[i], i);
  Buffer_SendReset(&buf_);
  Buffer_Put_u8(&buf_, 1);
  EXPECT_EQ(buf_.send_buf, send_area_);
}

TEST_F(BufferTest, AfterAFailedPutRawKeepsCountingAndReturnsNone) {
  testsupport::LogCapture log("P0");
  Buffer_SetSendArea(&buf_, send_area_, kArea, 1);  // no growth
  EXPECT_EQ(Buffer_Put_raw(&buf_, 100), nullptr);
  EXPECT_TRUE(log.contains("Buffer allocation failed at size 0"));
  EXPECT_EQ(Buffer_Put_raw(&buf_, 1), nullptr);
  EXPECT_EQ(Buffer_SendSize(&buf_), 105u);
  EXPECT_EQ(Buffer_SendFailed(&buf_), -1);
  Buffer_SendReset(&buf_);
  EXPECT_EQ(Buffer_SendFailed(&buf_), 0);
  EXPECT_NE(Buffer_Put_raw(&buf_, 4), nullptr);
}

struct ReserveCase {
  const char* name;
  uint32_t used;
  uint32_t n;
};

size_t g_requested = 0;
void* refusing_malloc(size_t n) {
  g_requested = n;
  return nullptr;
}
void* refusing_realloc(void*, size_t n) { return refusing_malloc(n); }

class HugeReserveTest : public BufferTest, public ::testing::WithParamInterface<ReserveCase> {};

// Sizes whose word arithmetic would wrap in 32 bits must never ask the heap
// for less than the message needs: with no cap the request is whole (and is
// refused here by the heap), with the default cap no request is made at all.
TEST_P(HugeReserveTest, NeverYieldsASmallArea) {
  const ReserveCase c = GetParam();
  const BufferHeap heap{refusing_malloc, refusing_realloc};
  for (uint32_t limit : {kBufferMaxSendLimit, kBufferDefaultSendLimit}) {
    Buffer_SendReset(&buf_);
    Buffer_SetSendLimit(&buf_, limit);
    Buffer_Put_raw(&buf_, c.used);
    Buffer_SetHeap(&heap);
    g_requested = 0;
    EXPECT_EQ(Buffer_Reserve(&buf_, c.n), nullptr) << limit;
    Buffer_SetHeap(nullptr);
    EXPECT_EQ(Buffer_SendFailed(&buf_), -1);
    if (limit == kBufferDefaultSendLimit)
      EXPECT_EQ(g_requested, 0u);
    else
      EXPECT_GE(g_requested, uint64_t{c.used} + c.n + 4);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HugeReserveTest,
                         ::testing::Values(ReserveCase{"Largest", 0, kBufferMaxSendLimit},
                                           ReserveCase{"WordsWrap", 0, UINT32_MAX - 1000},
                                           ReserveCase{"SumWraps", 16, kBufferMaxSendLimit - 16}),
                         [](const ::testing::TestParamInfo<ReserveCase>& p) {
                           return std::string(p.param.name);
                         });

TEST_F(BufferTest, ObjCountThatCannotFitFailsTheMessage) {
  EXPECT_EQ(Buffer_Put_obj(&buf_, UINT32_MAX), nullptr);
  EXPECT_EQ(Buffer_SendFailed(&buf_), -1);
}

TEST_F(BufferTest, ReplyCapRefusesLargerPayloads) {
  Buffer_SetSendLimit(&buf_, 100);
  EXPECT_NE(Buffer_Put_raw(&buf_, 100), nullptr);
  EXPECT_EQ(Buffer_Put_raw(&buf_, 1), nullptr);
  EXPECT_EQ(Buffer_SendFailed(&buf_), -1);
}

void* failing_realloc(void*, size_t) { return nullptr; }

// A failed growth must give the old block back and forget it: no leak (ASan)
// and no later use of freed memory.
TEST_F(BufferTest, FailedReallocFreesAndForgetsTheOldBlock) {
  Buffer_Put_raw(&buf_, 100);  // now in a heap block
  ASSERT_NE(buf_.send_buf, send_area_);
  const BufferHeap heap{malloc, failing_realloc};
  Buffer_SetHeap(&heap);
  EXPECT_EQ(Buffer_Put_raw(&buf_, 5000), nullptr);
  EXPECT_EQ(buf_.send_buf, nullptr);
  EXPECT_EQ(buf_.send_capacity, 0u);
  Buffer_SetHeap(nullptr);
  Buffer_SendReset(&buf_);
  Buffer_Put_u8(&buf_, 1);
  EXPECT_EQ(payload(), Bytes{1});
}

TEST_F(BufferTest, LargePayloadIsReceivedIntoAHeapBlockThatTheNextResetFrees) {
  uint8_t* p = Buffer_RecvArea(&buf_, 65);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(p, recv_area_);
  Buffer_RecvReset(&buf_);
  EXPECT_EQ(Buffer_RecvArea(&buf_, 64), recv_area_);
  Buffer_RecvReset(&buf_);
  Buffer_SetRecvArea(&buf_, recv_area_, kArea, 1);
  EXPECT_EQ(Buffer_RecvArea(&buf_, 65), nullptr);
}

TEST_F(BufferTest, CharsetMappingRunsOnlyWhenTheIdsDiffer) {
  Buffer_Put_str(&buf_, "\xa1");
  EXPECT_EQ(payload(), (Bytes{2, 0, 0xa1, 0}));
  // NATIVE8 0xa1 is ISO 8859-1 0xc0, and back on the way in.
  Buffer_SendReset(&buf_);
  Buffer_SetCharsets(&buf_, CHARSET_NATIVE8, CHARSET_ISO88591);
  Buffer_Put_str(&buf_, "\xa1");
  EXPECT_EQ(payload(), (Bytes{2, 0, 0xc0, 0}));
  receive({2, 0, 0xc0, 0});
  const char* s;
  ASSERT_EQ(Buffer_Get_str(&buf_, &s), 0);
  EXPECT_STREQ(s, "\xa1");
}

TEST_F(BufferTest, FailedMappingFailsTheMessage) {
  testsupport::LogCapture log("P1");
  Buffer_SetCharsets(&buf_, CHARSET_NATIVE8, 2);
  Buffer_Put_str(&buf_, "ab");
  EXPECT_EQ(Buffer_SendFailed(&buf_), -1);
  EXPECT_TRUE(log.contains("Buffer_Put_str() - zn__charset_map() failed"));
  receive({3, 0, 'a', 'b', 0});
  const char* s;
  EXPECT_EQ(Buffer_Get_str(&buf_, &s), -1);
  EXPECT_EQ(Buffer_RecvFailed(&buf_), -1);
}

}  // namespace
