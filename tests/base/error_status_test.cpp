// Status codes: encoding, text form, the log line of set_error and the
// choice between the task's slot and the process-wide one.
#include "base/error_status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/debug_log.h"
#include "base/task_kernel.h"
#include "support/log_capture.h"

namespace {

struct TextCase {
  const char* name;
  int module, severity, code;
  ErrorStatus value;
  const char* text;
};

class ErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorText, EncodesAndFormats) {
  const TextCase& c = GetParam();
  const ErrorStatus s = make_error_status(c.module, c.severity, c.code);
  EXPECT_EQ(s, c.value);
  EXPECT_EQ(error_module(s), c.module);
  EXPECT_EQ(error_severity(s), c.severity);
  EXPECT_EQ(error_code(s), c.code);
  EXPECT_STREQ(format_error(s), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorText,
    ::testing::Values(TextCase{"VolumeError27", 0, 0, 27, 27, "VOLE027"},
                      TextCase{"CatalogR5", 2, 1, 5, 0x905, "SCR005"},
                      TextCase{"BtreeCode255", 1, 0, 255, 0x4ff, "BTE255"},
                      TextCase{"UnknownModule", 7, 0, 9, (7 << 2) << 8 | 9, "?E009"},
                      TextCase{"SeverityThree", 0, 3, 1, 0x301, "VOL?001"},
                      TextCase{"SeverityTwo", 1, 2, 40, 0x628, "BT?040"},
                      TextCase{"Nothing", 0, 0, 0, 0, "VOLE000"}),
    [](const ::testing::TestParamInfo<TextCase>& p) { return std::string(p.param.name); });

class SetError : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(log_.ok()); }
  std::string log_text() { return log_.text(); }
  testsupport::LogCapture log_{""};
};

struct LogCase {
  const char* name;
  const char* flags;
  int module, severity, code;
  const char* line;  // expected log line, or "" for none (only the flags header)
};

class SetErrorLog : public SetError, public ::testing::WithParamInterface<LogCase> {};

TEST_P(SetErrorLog, LogsUnderModuleLetterAndLevel) {
  const LogCase& c = GetParam();
  debug_set_flags(c.flags);
  set_error(c.module, c.severity, c.code, "/src/storage/volume_set.cpp", 321);
  const std::string log = log_text();
  if (c.line[0] == '\0')
    EXPECT_EQ(log.find("file volume_set.cpp"), std::string::npos) << log;
  else
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
  EXPECT_EQ(get_error(), make_error_status(c.module, c.severity, c.code));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetErrorLog,
    ::testing::Values(
        LogCase{"VolErrorAtV1", "V1", 0, 0, 27, "V1: VOLE027: file volume_set.cpp, line 321"},
        LogCase{"VolErrorHiddenAtV0", "V0", 0, 0, 27, ""},
        LogCase{"VolRNeedsV2", "V1", 0, 1, 3, ""},
        LogCase{"VolRAtV2", "V2", 0, 1, 3, "V2: VOLR003: file volume_set.cpp, line 321"},
        LogCase{"BtreeUnderB", "B1", 1, 0, 4, "B1: BTE004: file volume_set.cpp, line 321"},
        LogCase{"CatalogUnderO", "O2", 2, 1, 5, "O2: SCR005: file volume_set.cpp, line 321"},
        LogCase{"OtherModuleUnderS0", "", 7, 0, 9, "S0: ?E009: file volume_set.cpp, line 321"}),
    [](const ::testing::TestParamInfo<LogCase>& p) { return std::string(p.param.name); });

TEST_F(SetError, FileWithoutDirectoryIsLoggedWhole) {
  debug_set_flags("V1");
  SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, 6);
  EXPECT_NE(log_text().find("VOLE006: file error_status_test.cpp, line "), std::string::npos);
  set_error(0, 0, 6, "plain.cpp", 9);
  EXPECT_NE(log_text().find("VOLE006: file plain.cpp, line 9"), std::string::npos);
}

TEST_F(SetError, OutOfRangeArgumentsAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(set_error(64, 0, 0, __FILE__, __LINE__), "module >= 0 && module < 64");
  EXPECT_DEATH(set_error(0, 4, 0, __FILE__, __LINE__), "severity >= 0 && severity < 4");
  EXPECT_DEATH(set_error(0, 0, 256, __FILE__, __LINE__), "code >= 0 && code < 256");
  EXPECT_DEATH(set_error(-1, 0, 0, __FILE__, __LINE__), "module >= 0 && module < 64");
}

TEST_F(SetError, ProcessSlotOutsideTheKernelTaskSlotInside) {
  ASSERT_EQ(thread_init(4), 0);
  SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, 11);
  EXPECT_STREQ(error_text(), "VOLE011");
  static ErrorStatus seen_by_a_first, seen_by_a_last, seen_by_b;
  thread_create(+[] {
    seen_by_a_first = get_error();  // a new task's slot is empty
    SET_ERROR(ERR_MOD_BT, ERR_SEV_E, 2);
    thread_yield();
    seen_by_a_last = thread_get_error();
  }, 5);
  thread_create(+[] {
    seen_by_b = get_error();
    SET_ERROR(ERR_MOD_SC, ERR_SEV_R, 1);
  }, 5);
  thread_create(+[] { thread_stop(); }, 99);
  ASSERT_EQ(thread_run(), 0);
  EXPECT_EQ(seen_by_a_first, 0u);
  EXPECT_EQ(seen_by_a_last, make_error_status(1, 0, 2));
  EXPECT_EQ(seen_by_b, 0u);
  EXPECT_STREQ(error_text(), "VOLE011");  // untouched by the tasks
  thread_set_error(make_error_status(2, 0, 8));
  EXPECT_EQ(thread_get_error(), 0x808u);
}

}  // namespace
