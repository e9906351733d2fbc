// INI reader: line kinds, values and quotes, section search with and without
// a copy stream, the slot table, long lines, and the lookup calls.
#include "base/ini_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "support/log_capture.h"
#include "support/process_runner.h"

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

// Every item IniReadItem yields after opening text on section.
Items read_items(const std::string& text, const char* section, int value_size = 1024) {
  testsupport::TempDir dir;
  dir.write("f.ini", text);
  const int slot = IniOpenFile(dir.file("f.ini").c_str(), section);
  EXPECT_GE(slot, 0);
  Items items;
  char item[256];
  std::vector<char> value(static_cast<size_t>(value_size));
  while (IniReadItem(slot, item, sizeof item, value.data(), value_size) == 0)
    items.emplace_back(item, value.data());
  IniCloseFile(slot);
  return items;
}

struct LineCase {
  const char* name;
  const char* text;
  const char* section;
  Items items;
};

class IniLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(IniLines, YieldTheseItems) {
  const LineCase& c = GetParam();
  EXPECT_EQ(read_items(c.text, c.section), c.items);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, IniLines,
    ::testing::Values(
        LineCase{"NameUpperCasedValueKept", "[S]\nmIxEd Name = Some Value\n", "S",
                 {{"MIXED NAME", "Some Value"}}},
        LineCase{"SemicolonAndHashCommentLines", "[S]\n;a=1\n#b=2\nc=3\n", "S", {{"C", "3"}}},
        LineCase{"CommentMarkAfterBlanksIsAnItem", "[S]\n  ;x = 1\n", "S", {{";X", "1"}}},
        LineCase{"LineWithoutEqualsIgnored", "[S]\nnothing here\n\n   \nx=1\n", "S", {{"X", "1"}}},
        LineCase{"BracketLineWithoutCloseIsNeitherSectionNorItem", "[S]\n[broken a=1\nb=2\n", "S",
                 {{"B", "2"}}},
        LineCase{"EqualsInFirstColumnGivesEmptyName", "[S]\n=v\n", "S", {{"", "v"}}},
        LineCase{"EmptyValue", "[S]\nx=\ny =   \n", "S", {{"X", ""}, {"Y", ""}}},
        LineCase{"UnquotedTrimmed", "[S]\nx =   a  b   \n", "S", {{"X", "a  b"}}},
        LineCase{"QuotedKeepsTrailingBlanks", "[S]\nx = \"kept  \"\n", "S", {{"X", "kept  "}}},
        LineCase{"SemicolonEndsEvenAQuotedValue", "[S]\nx = \"a b ;more\n", "S", {{"X", "a b "}}},
        LineCase{"SingleQuoteClosedThenRestDropped", "[S]\nx = 'x'y\n", "S", {{"X", "x"}}},
        LineCase{"OtherQuoteDoesNotClose", "[S]\nx = 'say \"hi\"'\n", "S", {{"X", "say \"hi\""}}},
        LineCase{"UnclosedQuoteRunsToLineEnd", "[S]\nx = \"open\n", "S", {{"X", "open"}}},
        LineCase{"HashEndsValue", "[S]\nx = a#b\n", "S", {{"X", "a"}}},
        LineCase{"SecondEqualsBelongsToValue", "[S]\nx = a=b\n", "S", {{"X", "a=b"}}},
        LineCase{"CrLfLines", "[S]\r\nx = 1\r\ny = \"q\"\r\nz =\r\n", "S",
                 {{"X", "1"}, {"Y", "q"}, {"Z", ""}}},
        LineCase{"LastLineWithoutNewline", "[S]\nx = 1", "S", {{"X", "1"}}},
        LineCase{"SectionNameTrimmedAndWithoutCase", "[  Server\t]\nx=1\n", "server", {{"X", "1"}}},
        LineCase{"SectionEndsAtNextSectionLine", "[A]\nx=1\n[B]\ny=2\n", "A", {{"X", "1"}}},
        LineCase{"TextAfterCloseBracketIgnored", "[A] trailing\nx=1\n", "a", {{"X", "1"}}},
        LineCase{"MissingSectionGivesNothing", "[A]\nx=1\n", "B", {}},
        LineCase{"NoSectionReadsItemsBeforeTheFirst", "x=1\n[A]\ny=2\n", nullptr, {{"X", "1"}}},
        LineCase{"CrLfSectionLine", "[A]\r\nx=1\r\n[B]\r\ny=2\r\n", "B", {{"Y", "2"}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(IniFile, LongCommentTailIsNotReadAsALine) {
  // The end of an over-long comment must never become an item or a section;
  // "[Evil]" begins exactly where a 1023-character piece would end.
  const std::string comment = "#" + std::string(1022, 'c') + "[Evil]\n";
  const std::string item = ";" + std::string(2000, 'c') + "x=1\n";
  EXPECT_EQ(read_items("[S]\n" + comment + item + "y=2\n", "S"), (Items{{"Y", "2"}}));
  EXPECT_EQ(read_items(comment + "[S]\ny=2\n", "Evil"), Items{});
}

TEST(IniFile, LongValueIsCutToTheBufferAndTheCutLogged) {
  testsupport::LogCapture log("A1");
  const std::string path = "/" + std::string(1100, 'p');
  const Items items = read_items("[S]\nv = " + path + "\nw = 2\n", "S");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].second, path.substr(0, 1023));
  EXPECT_EQ(items[1], (std::pair<std::string, std::string>{"W", "2"}));
  EXPECT_TRUE(log.contains("INI line too long: value of \"V\" cut to 1023 characters")) << log.text();
}

TEST(IniFile, ValueBufferOfOneByteGetsEmptyValueAndStillAnItem) {
  EXPECT_EQ(read_items("[S]\nx = abc\n", "S", 1), (Items{{"X", ""}}));
}

TEST(IniFile, EndOfSectionKeepsReturningOneUntilSearchedAgain) {
  testsupport::TempDir dir;
  dir.write("f.ini", "[A]\nx=1\n[B]\ny=2\n");
  const int slot = IniOpenFile(dir.file("f.ini").c_str(), "A");
  ASSERT_GE(slot, 0);
  char item[32], value[32];
  EXPECT_EQ(IniReadItem(slot, item, sizeof item, value, sizeof value), 0);
  EXPECT_EQ(IniReadItem(slot, item, sizeof item, value, sizeof value), 1);
  EXPECT_EQ(IniReadItem(slot, item, sizeof item, value, sizeof value), 1);
  EXPECT_EQ(IniFindSection(slot, "b"), 0);
  EXPECT_EQ(IniReadItem(slot, item, sizeof item, value, sizeof value), 0);
  EXPECT_STREQ(item, "Y");
  EXPECT_EQ(IniFindSection(slot, "A"), 0);  // rewinds: an earlier section is found again
  EXPECT_EQ(IniReadItem(slot, item, sizeof item, value, sizeof value), 0);
  EXPECT_STREQ(item, "X");
  EXPECT_EQ(IniFindSection(slot, "C"), 1);
  EXPECT_EQ(IniReadItem(slot, item, sizeof item, value, sizeof value), 1);
  EXPECT_EQ(IniFindSection(slot, ""), 0);  // start of file: nothing before [A]
  EXPECT_EQ(IniReadItem(slot, item, sizeof item, value, sizeof value), 1);
  EXPECT_EQ(IniReadItem(slot, item, 0, value, sizeof value), -1);
  EXPECT_EQ(IniCloseFile(slot), 0);
}

TEST(IniFile, SlotTableHoldsThreeFilesAndRefusesBadSlots) {
  IniInitFiles();
  testsupport::TempDir dir;
  dir.write("f.ini", "[A]\n");
  const std::string path = dir.file("f.ini");
  int slots[3];
  for (int& s : slots) {
    s = IniOpenFile(path.c_str(), nullptr);
    ASSERT_GE(s, 0);
  }
  errno = 0;
  EXPECT_EQ(IniOpenFile(path.c_str(), nullptr), -1);
  EXPECT_EQ(errno, 28);
  EXPECT_EQ(IniCloseFile(slots[1]), 0);
  errno = 0;
  EXPECT_EQ(IniCloseFile(slots[1]), -1);
  EXPECT_EQ(errno, 22);
  EXPECT_EQ(IniCloseFile(3), -1);
  EXPECT_EQ(IniCloseFile(-1), -1);
  char item[8], value[8];
  EXPECT_EQ(IniReadItem(slots[1], item, sizeof item, value, sizeof value), -1);
  EXPECT_EQ(IniOpenFile(path.c_str(), nullptr), slots[1]);  // the freed slot is reused
  for (int s : slots) IniCloseFile(s);
  errno = 0;
  EXPECT_EQ(IniOpenFile(dir.file("missing.ini").c_str(), nullptr), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(IniFile, HandleCallsCloseThePreviousSlot) {
  testsupport::TempDir dir;
  dir.write("f.ini", "[A]\nx=1\n");
  IniHandle h;
  IniInitHandle(&h);
  EXPECT_EQ(h, -1);
  for (int k = 0; k < 5; ++k) ASSERT_EQ(IniOpen(&h, dir.file("f.ini").c_str(), "A"), 0);
  char item[8], value[8];
  EXPECT_EQ(IniNextItem(&h, item, sizeof item, value, sizeof value), 0);
  EXPECT_EQ(IniSelectSection(&h, "A"), 0);
  EXPECT_EQ(IniClose(&h), 0);
  EXPECT_EQ(h, -1);
  EXPECT_EQ(IniOpen(&h, dir.file("none").c_str(), "A"), -1);
  EXPECT_EQ(h, -1);
  EXPECT_EQ(IniClose(&h), 0);
}

struct SkipCase {
  const char* name;
  const char* text;
  const char* section;
  int result;
  const char* copied;  // what the copy stream receives
  const char* rest;    // what the stream still holds
};

class IniSkip : public ::testing::TestWithParam<SkipCase> {};

std::string read_rest(FILE* f) {
  std::string s;
  for (int c; (c = fgetc(f)) != EOF;) s += static_cast<char>(c);
  return s;
}

TEST_P(IniSkip, CopiesEveryLineReadAndStopsAfterTheSection) {
  const SkipCase& c = GetParam();
  for (bool with_copy : {false, true}) {
    FILE* in = tmpfile();
    fputs(c.text, in);
    rewind(in);
    FILE* copy = with_copy ? tmpfile() : nullptr;
    EXPECT_EQ(IniSkipToSection(in, c.section, copy), c.result);
    EXPECT_EQ(read_rest(in), c.rest);
    if (copy != nullptr) {
      rewind(copy);
      EXPECT_EQ(read_rest(copy), c.copied);
      fclose(copy);
    }
    fclose(in);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Search, IniSkip,
    ::testing::Values(
        SkipCase{"Found", "a=1\n[X]\nb=2\n[Volumes]\nv=1\n", "volumes", 1,
                 "a=1\n[X]\nb=2\n[Volumes]\n", "v=1\n"},
        SkipCase{"FoundCrLfKeptByteForByte", "; c\r\n[Volumes]\r\nv=1\r\n", "Volumes", 1,
                 "; c\r\n[Volumes]\r\n", "v=1\r\n"},
        SkipCase{"NotFoundCopiesAll", "a=1\n[X]\nlast", "Volumes", 0, "a=1\n[X]\nlast", ""},
        SkipCase{"LongLineCopiedWhole", "#xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
                                        "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n[V]\n",
                 "V", 1,
                 "#xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
                 "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n[V]\n",
                 ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(IniFile, SkipReportsAFailedCopy) {
  FILE* in = tmpfile();
  fputs("a=1\n[V]\n", in);
  rewind(in);
  FILE* ro = fopen("/dev/null", "r");  // writing to a read-only stream fails
  EXPECT_EQ(IniSkipToSection(in, "V", ro), -1);
  fclose(ro);
  fclose(in);
}

TEST(IniFile, LongLinesOfEveryLengthAroundTheOldBufferStayWhole) {
  for (size_t len : {1021u, 1022u, 1023u, 1024u, 1025u, 2047u, 2048u, 4097u}) {
    const std::string comment = "#" + std::string(len, 'a') + "=b\n";
    EXPECT_EQ(read_items("[S]\n" + comment + "x=1\n", "S"), (Items{{"X", "1"}})) << len;
  }
}

TEST(IniFile, SectionNamesAreWalkedInOrder) {
  testsupport::TempDir dir;
  dir.write("shares", "x=1\n[ Home ]\na=1\n[broken\n[tmp]\n; [no]\n[Last]");
  const int slot = IniOpenFile(dir.file("shares").c_str(), nullptr);
  ASSERT_GE(slot, 0);
  std::vector<std::string> names;
  char name[64];
  while (IniReadSection(slot, name, sizeof name) == 0) names.emplace_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"HOME", "TMP", "LAST"}));
  EXPECT_EQ(IniReadSection(slot, name, 0), -1);
  IniCloseFile(slot);
}

TEST(IniFile, FindEntryStaysInTheCurrentSection) {
  FILE* f = tmpfile();
  fputs("[A]\nPath = /a\n[B]\npath = /b\nother = 1\n", f);
  rewind(f);
  char value[64];
  ASSERT_EQ(IniSkipToSection(f, "A", nullptr), 1);
  EXPECT_EQ(IniFindEntry(f, "other", value, sizeof value), 0);
  rewind(f);
  ASSERT_EQ(IniSkipToSection(f, "B", nullptr), 1);
  EXPECT_EQ(IniFindEntry(f, "PATH", value, sizeof value), 1);
  EXPECT_STREQ(value, "/b");
  fclose(f);
}

struct GetStringCase {
  const char* name;
  const char* section;
  const char* entry;
  int size;
  const char* expected;
};

class IniGetStringTest : public ::testing::TestWithParam<GetStringCase> {};

TEST_P(IniGetStringTest, ValueOrDefault) {
  const GetStringCase& c = GetParam();
  testsupport::TempDir dir;
  dir.write("zentsd.cfg", "top = first\n[Server]\nPort = 7821\nName = \"long name\"\n[Other]\nx=1\n");
  testsupport::LogCapture log("C2");
  char dest[64] = "untouched";
  const int n = IniGetString(c.section, c.entry, "dflt", dest, c.size, dir.file("zentsd.cfg").c_str());
  EXPECT_STREQ(dest, c.expected);
  EXPECT_EQ(n, static_cast<int>(strlen(c.expected)));
  EXPECT_TRUE(log.contains(std::string("IniGetString(): section=\"") + c.section + "\", entry=\"" +
                           c.entry + "\", str=\"" + c.expected + "\""))
      << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Lookup, IniGetStringTest,
    ::testing::Values(GetStringCase{"Found", "server", "port", 64, "7821"},
                      GetStringCase{"QuotedValue", "Server", "Name", 64, "long name"},
                      GetStringCase{"CutToSize", "Server", "Name", 5, "long"},
                      GetStringCase{"EntryMissing", "Server", "x", 64, "dflt"},
                      GetStringCase{"OnlyThisSection", "Other", "Port", 64, "dflt"},
                      GetStringCase{"SectionMissing", "None", "Port", 64, "dflt"},
                      GetStringCase{"EmptySectionMeansBeforeTheFirst", "", "top", 64, "first"},
                      GetStringCase{"DefaultCut", "None", "x", 3, "df"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(IniFile, GetStringOfMissingFileGivesDefault) {
  char dest[16];
  EXPECT_EQ(IniGetString("S", "e", "def", dest, sizeof dest, "/nonexistent/zentsd.cfg"), 3);
  EXPECT_STREQ(dest, "def");
}

}  // namespace
