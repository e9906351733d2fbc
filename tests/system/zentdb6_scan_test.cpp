// zentdb6 over TCP with the sample database: scan contexts with a field
// bitmap of two bytes, a serial scan whose reply is cut to the area used,
// unknown and deleted handles, refusals that keep the connection (no
// logon, a data area under its head) and requests that close it, and a
// server configured with DisableScan.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/sample_server.h"
#include "support/server_process.h"
#include "support/volume_fixture.h"
#include "support/zent_client.h"

namespace {

using testsupport::Bytes;
using testsupport::DbmlStatus;
using testsupport::ScanReply;
using testsupport::ZentClient;

uint32_t le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class ScanServer : public testsupport::ServerProcessFixture {
 protected:
  // The server on the sample with extra keys of [Server].
  void start(const std::string& extra) {
    ASSERT_NO_FATAL_FAILURE(write_sample_config(extra));
    start_server("D1P2");
  }
  // Logged on as alice with the sample open in mode 1: the dbid.
  uint16_t open_sample(ZentClient& c) {
    testsupport::StartupReply reply;
    EXPECT_TRUE(connect_client(c, &reply));
    EXPECT_EQ(c.logon(reply.challenge, "alice", "secret"), 0);
    DbmlStatus st;
    EXPECT_EQ(c.dbopen("sample", "", 1, &st), 0);
    return static_cast<uint16_t>(st.words[9]);
  }
};

TEST_F(ScanServer, ContextsSerialScansAndHandles) {
  ASSERT_NO_FATAL_FAILURE(start(""));
  ZentClient c;
  const uint16_t dbid = open_sample(c);
  // ORDERS (set 3), 9 fields considered: a 2-byte bitmap selecting
  // ORDER-NO and REGION (bits 0 and 2); bit 8 lies past the record.
  ScanReply rep;
  ASSERT_TRUE(c.scan(testsupport::scan_new_context_request(7, static_cast<int16_t>(dbid), 3, 0, 9,
                                                           {0x05, 0x01}),
                     &rep));
  ASSERT_TRUE(rep.ok()) << rep.text;
  EXPECT_EQ(rep.request_id, 7);
  ASSERT_EQ(rep.rest.size(), 4u);
  const uint32_t h = le32(rep.rest, 0);
  EXPECT_NE(h, 0u);

  Bytes reply;
  ASSERT_TRUE(c.request(testsupport::scan_seq_request(8, h, 4096, 0).bytes(), &reply));
  // Five records of 4 + 4 + 4 bytes after the 12-byte head.
  const uint32_t used = 12 + 5 * 12;
  ASSERT_EQ(reply.size(), 8u + 4 + used);
  ASSERT_TRUE(testsupport::decode_scan_reply(reply, &rep));
  ASSERT_TRUE(rep.ok());
  const Bytes area(rep.rest.begin() + 4, rep.rest.end());
  EXPECT_EQ(le32(area, 0), 0u);  // the end was met
  EXPECT_EQ(le32(area, 4), 5u);
  EXPECT_EQ(le32(area, 8), 5u * 12);
  EXPECT_EQ(le32(area, 12 + 3 * 12), 4u);        // record 4
  EXPECT_EQ(le32(area, 12 + 3 * 12 + 4), 104u);  // its ORDER-NO
  EXPECT_EQ(std::string(area.begin() + 12 + 3 * 12 + 8, area.begin() + 12 + 4 * 12), "east");

  // Continued after record 3: records 4 and 5.
  ASSERT_TRUE(c.scan(testsupport::scan_seq_request(9, h, 4096, 3), &rep));
  ASSERT_TRUE(rep.ok());
  EXPECT_EQ(le32(rep.rest, 4 + 4), 2u);

  // A data area under its head is refused with -21; the connection stays.
  ASSERT_TRUE(c.scan(testsupport::scan_seq_request(10, h, 8, 0), &rep));
  EXPECT_EQ(rep.code, static_cast<uint32_t>(-21));
  EXPECT_EQ(rep.text, "Failure during sequential SCAN");

  // Unknown handle; DEL_CONTEXT; then the handle is unknown.
  ASSERT_TRUE(c.scan(testsupport::scan_seq_request(11, h + 100, 4096, 0), &rep));
  EXPECT_EQ(rep.code, 0xffffffffu);
  EXPECT_EQ(rep.text, "SCAN handle " + std::to_string(h + 100) + " not found");
  ASSERT_TRUE(c.scan(testsupport::scan_writer(12, 2).u32(h), &rep));
  EXPECT_TRUE(rep.ok());
  EXPECT_TRUE(rep.rest.empty());
  ASSERT_TRUE(c.scan(testsupport::scan_seq_request(13, h, 4096, 0), &rep));
  EXPECT_EQ(rep.text, "SCAN handle " + std::to_string(h) + " not found");
  ASSERT_TRUE(c.scan(testsupport::scan_writer(14, 9), &rep));
  EXPECT_EQ(rep.text, "Unsupported SCAN request 9");
  EXPECT_TRUE(c.noop(15));
}

TEST_F(ScanServer, NoLogonIsRefusedAndBadCountsClose) {
  ASSERT_NO_FATAL_FAILURE(start(""));
  ZentClient anon;
  testsupport::StartupReply reply;
  ASSERT_TRUE(connect_client(anon, &reply));
  EXPECT_EQ(reply.capabilities, 62u);
  ScanReply rep;
  ASSERT_TRUE(anon.scan(testsupport::scan_seq_request(1, 1, 4096, 0), &rep));
  EXPECT_EQ(rep.text, "client failure: no logon");

  struct Case {
    const char* name;
    testsupport::PayloadWriter w;
  };
  const Case cases[] = {
      {"negative fld_cnt", testsupport::scan_new_context_request(1, 1, 3, 0, -1, {})},
      {"short bitmap", testsupport::scan_new_context_request(1, 1, 3, 0, 9, {0x01})},
      {"negative record count",
       testsupport::scan_writer(1, 4).u16(1).u32(1).u32(4096).u32(0xffffffffu)},
      {"record count beyond the bytes",
       testsupport::scan_writer(1, 4).u16(1).u32(1).u32(4096).u32(3).u32(1).u32(2)},
      {"key size other than its object",
       testsupport::scan_writer(1, 6).u32(1).u8(0).u8(3).u32(4096).u16(1).u16(0).align(4).u32(2).obj(
           {'E', 'A', 'S'})},
      {"negative key size",
       testsupport::scan_writer(1, 6).u32(1).u8(0).u8(3).u32(4096).u16(1).u16(0).align(4).u32(
           0xfffffff0u)},
  };
  for (const Case& t : cases) {
    ZentClient c;
    open_sample(c);
    ASSERT_TRUE(c.send_frame(t.w.bytes())) << t.name;
    EXPECT_TRUE(c.closed_without_reply()) << t.name;
  }
}

TEST_F(ScanServer, DisableScanRefusesEveryRequest) {
  ASSERT_NO_FATAL_FAILURE(start("DisableScan = 1\n"));
  ZentClient c;
  testsupport::StartupReply reply;
  ASSERT_TRUE(connect_client(c, &reply));
  EXPECT_EQ(reply.capabilities, 46u);
  ASSERT_EQ(c.logon(reply.challenge, "alice", "secret"), 0);
  ScanReply rep;
  for (uint16_t type = 1; type <= 7; ++type) {
    ASSERT_TRUE(c.scan(testsupport::scan_writer(type, type).u32(1).u32(4096).u32(0), &rep));
    EXPECT_EQ(rep.text, "SCAN API has been disabled") << type;
  }
}

}  // namespace
