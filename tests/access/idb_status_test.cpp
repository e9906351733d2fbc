// The status array's failure fill and the session's error record: -1
// against a direct code, the path code, the words a failure keeps, the
// log line of each form, and two sessions whose codes do not mix.
#include <gtest/gtest.h>

#include <string>

#include "access/idb_status.h"
#include "support/log_capture.h"

namespace {

struct FillCase {
  const char* what;
  int32_t record_code;  // set in the session's record first
  int32_t record_sub;
  int32_t code;         // given to idb__fail_status
  int32_t word0;
  int32_t word9;
  int32_t record_after;
};

TEST(StatusFill, Table) {
  const FillCase cases[] = {
      {"-1 takes code and sub-code from the record", S_BTREE, 0x0412, -1, S_BTREE, 0x0412, S_BTREE},
      {"a direct code reports itself with sub-code 0", S_BTREE, 0x0412, S_BADMODE, S_BADMODE, 0,
       S_BADMODE},
      {"an unnamed direct code", 0, 0, IDB_RC_READ_ACCESS, -23, 0, -23},
      {"the third path's code", S_NOHEAD + 2 + 1, 0, -1, 103, 0, 103},
  };
  for (const FillCase& c : cases) {
    SCOPED_TRACE(c.what);
    idb_session s{};
    s.error = idb_error{c.record_code, "f.cpp", 1, c.record_sub};
    idb_status st;
    for (int i = 0; i < IDB_STATUS_WORDS; ++i) st[i] = 1000 + i;
    st[5] = IDB_GET;  // stored on entry
    st[8] = 7;        // the mode
    EXPECT_EQ(idb__fail_status(&s, c.code, st), -1);
    EXPECT_EQ(st[0], c.word0);
    EXPECT_EQ(st[9], c.word9);
    EXPECT_EQ(st[4], 0);
    EXPECT_EQ(st[6], 0);
    EXPECT_EQ(st[7], 0);
    EXPECT_EQ(st[5], IDB_GET);
    EXPECT_EQ(st[8], 7);
    EXPECT_EQ(st[1], 1001);
    EXPECT_EQ(st[2], 1002);
    EXPECT_EQ(st[3], 1003);
    EXPECT_EQ(s.error.code, c.record_after);
  }
}

TEST(StatusCode, EachFormLogsItsNameWithCodeSubCodeAndPlace) {
  testsupport::LogCapture log("I2");
  idb_session s{};
  IDB_ERROR(&s, S_BTREE, 17);
  EXPECT_EQ(s.error.code, S_BTREE);
  EXPECT_EQ(s.error.sub_code, 17);
  const int line = __LINE__ - 3;
  EXPECT_TRUE(log.contains("S_BTREE (-804,17), file " + std::string(__FILE__) + ", line " +
                           std::to_string(line)))
      << log.text();
  IDB_ERROR_PATH(&s, 2);
  EXPECT_EQ(s.error.code, 103);
  EXPECT_TRUE(log.contains("S_NOHEAD + p + 1 (103,0), file ")) << log.text();
  IDB_ERROR_CC(&s, S_DUPL, 0);
  EXPECT_TRUE(log.contains("cc (43,0), file ")) << log.text();
}

// One session sets its code, then (its task asleep) another session fails
// with another code; the first then fills its status from its own record.
TEST(StatusCode, ASessionReadsItsOwnCodeAfterAnotherSessionFailed) {
  idb_session a{}, b{};
  IDB_ERROR(&a, S_BTREE, 5);
  IDB_ERROR(&b, S_DEADLK, 1);
  idb_status sb{}, sa{};
  idb__fail_status(&b, -1, sb);
  // b's success after its failure leaves a's record alone too.
  b.error = idb_error{};
  idb__fail_status(&a, -1, sa);
  EXPECT_EQ(sa[0], S_BTREE);
  EXPECT_EQ(sa[9], 5);
  EXPECT_EQ(sb[0], S_DEADLK);
  EXPECT_EQ(sb[9], 1);
}

TEST(StatusFill, AFailureLeavesTheBlockingRecordEmpty) {
  idb_session s{};
  int dummy = 0;
  s.ssn.wait_node = reinterpret_cast<Node*>(&dummy);
  s.ssn.wait_key = 9;
  s.ssn.wait_file = "x.cpp";
  s.ssn.wait_line = 3;
  idb_status st{};
  idb__fail_status(&s, -1, st);
  EXPECT_EQ(s.ssn.wait_node, nullptr);
  EXPECT_EQ(s.ssn.wait_key, 0u);
  EXPECT_EQ(s.ssn.wait_file, nullptr);
  EXPECT_EQ(s.ssn.wait_line, 0);
}

}  // namespace
