// Log facility: flag strings, line format, file header, dumps.
#include "base/debug_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"

namespace {

// Each test logs to a temporary file of its own, every level at 0.
class LogCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    debug_set_variant(DebugVariant::Server);
  }
  std::string text() { return log_.text(); }
  std::string pid_prefix() {
    char p[16];
    snprintf(p, sizeof p, "(%5d) ", static_cast<int>(getpid()));
    return p;
  }
  testsupport::LogCapture log_{""};
};

struct FlagCase {
  const char* flags;
  std::vector<std::pair<char, int>> expected;  // letters to check
};
void PrintTo(const FlagCase& c, std::ostream* os) { *os << '"' << c.flags << '"'; }

class FlagStringTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(FlagStringTest, SetsLevels) {
  debug_set_stream(nullptr);
  debug_set_flags(GetParam().flags);
  for (auto [letter, level] : GetParam().expected)
    EXPECT_EQ(DebugFlags[letter - 'A'], level) << GetParam().flags << " letter " << letter;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlagStringTest,
    ::testing::Values(FlagCase{"", {{'A', 0}, {'Z', 0}}},
                      FlagCase{"*0", {{'A', 0}, {'M', 0}}},
                      FlagCase{"*", {{'A', 1}, {'Z', 1}}},
                      FlagCase{"T2X3", {{'T', 2}, {'X', 3}, {'A', 0}}},
                      FlagCase{"*1V3", {{'A', 1}, {'V', 3}, {'Z', 1}}},
                      FlagCase{"A", {{'A', 1}, {'B', 0}}},
                      FlagCase{"A0", {{'A', 0}}},
                      FlagCase{"*5A0", {{'A', 0}, {'B', 5}, {'Z', 5}}},
                      FlagCase{"V3V1", {{'V', 1}}},  // later entry wins
                      // A lower-case letter, a blank and a lone digit are skipped.
                      FlagCase{"a3 7B2", {{'A', 0}, {'B', 2}}},
                      FlagCase{"D200", {{'D', 127}}},  // clamped, never negative
                      FlagCase{"*99999999999", {{'A', 127}, {'Z', 127}}}),
    [](const ::testing::TestParamInfo<FlagCase>& param_info) {
      std::string name;
      for (const char* c = param_info.param.flags; *c != '\0'; ++c)
        name += *c == '*' ? std::string("Star") : *c == ' ' ? std::string("_") : std::string(1, *c);
      return name.empty() ? std::string("Empty") : name;
    });

// Texts from peers: control characters never reach the log raw.
struct EscapeCase {
  const char* name;
  const char* in;
  size_t size;
  const char* out;
};
void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class Escape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escape, ControlCharactersAreEscapedAndTheRestKept) {
  char buf[64];
  ASSERT_LE(GetParam().size, sizeof buf);
  EXPECT_STREQ(debug_escape(GetParam().in, buf, GetParam().size), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Escape,
    ::testing::Values(
        EscapeCase{"Plain", "LINUX tester", 64, "LINUX tester"},
        EscapeCase{"None", nullptr, 64, ""},
        EscapeCase{"ForgedLine", "x\n(1) D0: y", 64, "x\\n(1) D0: y"},
        EscapeCase{"ReturnAndTab", "a\rb\tc", 64, "a\\rb\\tc"},
        EscapeCase{"EscapeCodeAndDel", "\x1b[2J\x7f\x01", 64, "\\x1b[2J\\x7f\\x01"},
        EscapeCase{"Latin1LetterKept", "Jos\xe9", 64, "Jos\xe9"},
        EscapeCase{"LoneC1Byte", "a\x9b" "1m", 64, "a\\x9b1m"},
        EscapeCase{"Utf8Kept", "J\xc3\xbcrgen \xc5\x81ukasz \xe2\x82\xac", 64,
                   "J\xc3\xbcrgen \xc5\x81ukasz \xe2\x82\xac"},
        EscapeCase{"Utf8C1Control", "a\xc2\x9b" "b", 64, "a\\xc2\\x9bb"},
        EscapeCase{"CutWithDots", "abcdefghij", 8, "abcd..."},
        EscapeCase{"LastCharacterFitsWithoutDots", "abcdefg", 8, "abcdefg"},
        EscapeCase{"NeverCutInsideAnEscape", "abc\n\nx", 8, "abc..."},
        EscapeCase{"NeverCutInsideASequence", "ab\xe2\x82\xac" "cde", 8, "ab..."}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DebugEnabled, OnlyCapitalLettersAtOrBelowTheirLevel) {
  debug_set_stream(nullptr);
  debug_set_flags("");
  EXPECT_TRUE(debug_enabled('A', 0));   // level 0 >= 0: errors always written
  EXPECT_FALSE(debug_enabled('A', 1));
  EXPECT_FALSE(debug_enabled('a', 0));
  EXPECT_FALSE(debug_enabled('1', 0));
  EXPECT_FALSE(debug_enabled('[', 0));
  debug_set_flags("D200");
  EXPECT_TRUE(debug_enabled('D', 0));   // a clamped level still lets errors through
  EXPECT_TRUE(debug_enabled('D', 127));
}

TEST_F(LogCapture, LineFormat) {
  debug_set_flags("X2");
  text();
  debug_log('X', 2, "hello %d", 42);
  debug_log('X', 3, "not written");
  debug_log('Q', 0, "%s", "error");
  EXPECT_EQ(text().substr(text().find(pid_prefix() + "X2")),
            pid_prefix() + "X2: hello 42\n" + pid_prefix() + "Q0: error\n");
}

TEST_F(LogCapture, HeaderOnlyForNonEmptyFlagsOnAFile) {
  debug_set_flags("");
  EXPECT_EQ(text(), "");
  debug_set_flags("*1V3");
  const std::string t = text();
  EXPECT_EQ(t.rfind("\n** ", 0), 0u);
  EXPECT_NE(t.find("   Flags = [*1V3]\n\n"), std::string::npos);
}

TEST_F(LogCapture, LeadingNewlineBecomesAnEmptyLine) {
  debug_set_flags("");
  debug_log('D', 0, "\nafter");
  EXPECT_EQ(text(), "\n" + pid_prefix() + "D0: after\n");
}

// A peer's text that reached a message without LogText still cannot end
// its line: the whole message is escaped as LogText would escape it, and
// an escaped text is left as it is.
TEST_F(LogCapture, ControlCharactersInsideAMessageAreEscaped) {
  debug_set_flags("");
  debug_log('D', 0, "User \"%s\" does not exist", "x\n(99999) P0: forged\x1b[2J");
  debug_log('D', 0, "%s", LogText("y\nz").c_str());
  EXPECT_EQ(text(), pid_prefix() + "D0: User \"x\\n(99999) P0: forged\\x1b[2J\" does not exist\n" +
                        pid_prefix() + "D0: y\\nz\n");
}

TEST_F(LogCapture, LongMessageIsCutAtTheBuffer) {
  debug_set_flags("");
  std::string big(5000, 'x');
  debug_log('D', 0, "%s", big.c_str());
  EXPECT_EQ(text(), pid_prefix() + "D0: " + std::string(1023, 'x') + "\n");
}

TEST_F(LogCapture, SyserrAddsSystemText) {
  debug_set_flags("");
  debug_syserr('D', 0, 2, "open");
  EXPECT_EQ(text(), pid_prefix() + "D0: open: No such file or directory (errno 2)\n");
  text();
  debug_syserr('D', 0, 99999, "odd");
  EXPECT_NE(text().find("odd: No system message (errno 99999)"), std::string::npos);
}

TEST_F(LogCapture, ShortDumpLastLineIsPadded) {
  unsigned char data[20];
  for (int i = 0; i < 20; ++i)
    data[i] = static_cast<unsigned char>(i == 16 ? 'A' : i == 17 ? 0x80 : i);
  debug_dump("label", data, 20);
  const std::string t = text();
  EXPECT_EQ(t.rfind(pid_prefix() + "label\nbuffer contains 20 bytes of data\n", 0), 0u) << t;
  EXPECT_NE(t.find("000: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f |................|\n"),
            std::string::npos) << t;
  EXPECT_NE(
      t.find("010: 41 80 12 13" + std::string(36, ' ') + " |A..." + std::string(12, ' ') + "|\n"),
      std::string::npos)
      << t;
}

// Below 1024 bytes a buffer is dumped whole; from 1024 on, its first 256
// bytes, a "skipped" line, and the rest from a 16-byte line start.
struct DumpCase {
  int length;
  std::vector<std::string> present;
  std::vector<std::string> absent;
};
void PrintTo(const DumpCase& c, std::ostream* os) { *os << c.length << " bytes"; }

class DumpLength : public LogCapture, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(DumpLength, WholeOrShortened) {
  std::vector<unsigned char> data(static_cast<size_t>(GetParam().length));
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
  debug_dump("big", data.data(), GetParam().length);
  const std::string t = text();
  for (const std::string& s : GetParam().present)
    EXPECT_NE(t.find(s), std::string::npos) << s << "\n" << t;
  for (const std::string& s : GetParam().absent)
    EXPECT_EQ(t.find(s), std::string::npos) << s << "\n" << t;
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DumpLength,
    ::testing::Values(
        DumpCase{
            1023, {"buffer contains 1023 bytes of data\n000: ", "\n3f0: "}, {"... skipped ..."}},
        DumpCase{1024, {"\n0f0: ", "|\n... skipped ...\n300: ", "\n3f0: "}, {"\n100: ", "\n2f0: "}},
        // (1100 - 256) rounded down to a multiple of 16 is 0x340.
        DumpCase{1100,
                 {"|\n... skipped ...\n340: ", "\n440: 40 41 42 43 44 45 46 47 48 49 4a 4b    "},
                 {"\n330: "}}),
    [](const ::testing::TestParamInfo<DumpCase>& param_info) {
      return "Bytes" + std::to_string(param_info.param.length);
    });

TEST(DebugDump, NothingWithoutAStream) {
  debug_set_stream(nullptr);
  unsigned char b[4] = {1, 2, 3, 4};
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  debug_dump("x", b, 4);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const testsupport::LogCapture later("");
  EXPECT_EQ(later.text(), "");
}

TEST_F(LogCapture, LinesFromManyThreadsNeverInterleave) {
  debug_set_flags("");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        debug_log('D', 0, "thread %d line %d %s", t, i, "payload-payload");
    });
  for (auto& th : threads) th.join();
  const std::string t = text();
  size_t lines = 0, pos = 0;
  while ((pos = t.find('\n', pos)) != std::string::npos) {
    ++lines;
    ++pos;
  }
  EXPECT_EQ(lines, 1600u);
  size_t start = 0;
  while (start < t.size()) {
    size_t end = t.find('\n', start);
    std::string line = t.substr(start, end - start);
    EXPECT_EQ(line.rfind(pid_prefix() + "D0: thread ", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - 15), "payload-payload") << line;
    start = end + 1;
  }
}

TEST_F(LogCapture, DaemonVariantDumpAndLongerMessages) {
  debug_set_variant(DebugVariant::Daemon);
  debug_set_flags("");
  std::string big(9000, 'y');
  debug_log('N', 0, "%s", big.c_str());
  unsigned char b[2] = {0, 1};
  debug_dump("d", b, 2);
  const std::string t = text();
  EXPECT_NE(t.find(std::string(8191, 'y') + "\n"), std::string::npos);
  EXPECT_EQ(t.find(std::string(8192, 'y')), std::string::npos);
  EXPECT_NE(t.find("buffer contains 2 bytes of data\n"), std::string::npos);
  debug_set_variant(DebugVariant::Server);
}

TEST(DebugCategories, ServerAndDaemonNames) {
  debug_set_variant(DebugVariant::Server);
  EXPECT_STREQ(debug_category_name('L'), "Transaction");
  EXPECT_STREQ(debug_category_name('E'), "E");
  debug_set_variant(DebugVariant::Daemon);
  EXPECT_STREQ(debug_category_name('D'), "DirUtil");
  EXPECT_STREQ(debug_category_name('L'), "L");
  debug_set_variant(DebugVariant::Server);
}

}  // namespace
