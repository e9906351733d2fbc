// The catalog's stored records against golden bytes: a packed table
// description, rows of every column type with absent values and lengths at
// their limits, the records of log opcode 17; and what is read from a
// volume refused cleanly when it does not hold together: a table of
// corrupted descriptions, truncated and inconsistent rows.
#include "index/syscat_format.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <functional>
#include <vector>

#include "base/error_status.h"
#include "index/syscat.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes packed(const SysCat_TABLE_DESCR* d) {
  Bytes b(sizeof_node_descr(d));
  pack_node_descr(b.data(), d);
  return b;
}

// A map entry whose stored description is the static one packed and read.
struct Entry {
  SysCat_NODE_DESCR nd;
  SysCat_MAP map{};
  explicit Entry(const SysCat_TABLE_DESCR* d, const Bytes* stored = nullptr) {
    const Bytes b = stored != nullptr ? *stored : packed(d);
    EXPECT_EQ(unpack_node_descr(b.data(), b.size(), d, &nd), 0);
    map = SysCat_MAP{99, d, &nd, nullptr};
  }
};

Bytes pack_row(const SysCat_MAP& e, const void* row) {
  Bytes b(70000);
  const int n = pack_col_val(b.data(), b.size(), &e, row);
  EXPECT_GE(n, 0);
  b.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return b;
}

int code() { return error_code(get_error()); }

TEST(SysCatFormat, StoredDescriptionGoldenBytes) {
  const SysCat_TABLE_DESCR* d = SysCat_StaticDescr(SysMember_ID);
  ASSERT_NE(d, nullptr);
  const Bytes want = {1, 10, 's', 'y', 's', 'm', 'e', 'm', 'b', 'e', 'r', 0, 2, 0,  // rev, name, ncols, flags
                      0, 0, 0, 0,                                                    // unique
                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    // anchor
                      4, 'u', 'i', 'd', 0, 7, 4, 0, 0,                               // uid u32
                      4, 'g', 'i', 'd', 0, 7, 4, 0, 0};
  EXPECT_EQ(packed(d), want);
  EXPECT_EQ(sizeof_node_descr(d), 28u + 10u + 2u * (4u + 5u));
  SysCat_NODE_DESCR nd;
  ASSERT_EQ(unpack_node_descr(want.data(), want.size(), d, &nd), 0);
  EXPECT_EQ(nd.d.ofs_unique, 14u);
  EXPECT_EQ(nd.d.ofs_anchor, 18u);
  EXPECT_EQ(nd.d.ofs_unique, SysCat_OfsUnique("sysmember"));
  EXPECT_EQ(nd.name, "sysmember");
  ASSERT_EQ(nd.cols.size(), 2u);
  EXPECT_EQ(nd.cols[1].node_idx, 1);
  EXPECT_EQ(nd.cols[1].col_offset, offsetof(SysCat_MEMBER, gid));
}

TEST(SysCatFormat, EveryStaticTablePacksAndReadsBack) {
  for (int id : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 21, 22, 30, 31, 32, 33, 34, 35, 36}) {
    const SysCat_TABLE_DESCR* d = SysCat_StaticDescr(id);
    ASSERT_NE(d, nullptr) << id;
    const Bytes b = packed(d);
    SysCat_NODE_DESCR nd;
    ASSERT_EQ(unpack_node_descr(b.data(), b.size(), d, &nd), 0) << id;
    ASSERT_EQ(nd.d.tab_ncols, d->tab_ncols);
    for (uint32_t i = 0; i < d->tab_ncols; ++i) {
      EXPECT_EQ(nd.cols[i].node_idx, static_cast<int>(i)) << d->name;
      EXPECT_EQ(nd.cols[i].col_type, d->cols[i].col_type);
      EXPECT_EQ(nd.cols[i].col_size, d->cols[i].col_size);
    }
  }
}

TEST(SysCatFormat, UserRowGoldenBytesWithAndWithoutItsBlob) {
  Entry e(SysCat_StaticDescr(SysUser_ID));
  Bytes pw = {3, 0, 0, 0, 'x', 'y', 'z'};
  SysCat_USER u{5, const_cast<char*>("ann"), pw.data(), 0x04030201};
  const Bytes want = {4, 0, 0x00, 5, 0, 0, 0, 3, 'a', 'n', 'n', 3, 'x', 'y', 'z', 1, 2, 3, 4};
  EXPECT_EQ(pack_row(e.map, &u), want);
  u.password = nullptr;  // absent: the third column's bit (bit 5)
  const Bytes absent = {4, 0, 0x20, 5, 0, 0, 0, 3, 'a', 'n', 'n', 1, 2, 3, 4};
  const Bytes got = pack_row(e.map, &u);
  EXPECT_EQ(got, absent);
  auto* back = static_cast<SysCat_USER*>(SysCat_UnpackRow(&e.map, got.data(), got.size()));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->uid, 5u);
  EXPECT_STREQ(back->name, "ann");
  EXPECT_EQ(back->password, nullptr);
  EXPECT_EQ(back->priv, 0x04030201u);
  free(back);
}

// A table with one column of every type: nine columns, two presence bytes.
struct AllTypes {
  uint8_t fixed1[6];
  char* str;
  char* text;
  uint32_t i1;
  uint32_t i2;
  uint32_t i4;
  uint8_t fixed17[4];
  uint8_t* blob;
  uint8_t* lblob;
};
const SysCat_COLUMN_DESCR kAllCols[] = {
    {"fixed1", SysCat_BYTES, 6, 0, offsetof(AllTypes, fixed1), -1},
    {"str", SysCat_STRING, 255, 0, offsetof(AllTypes, str), -1},
    {"text", SysCat_TEXT, 8000, 0, offsetof(AllTypes, text), -1},
    {"i1", SysCat_INT1, 4, 0, offsetof(AllTypes, i1), -1},
    {"i2", SysCat_INT2, 4, 0, offsetof(AllTypes, i2), -1},
    {"i4", SysCat_INT4, 4, 0, offsetof(AllTypes, i4), -1},
    {"fixed17", SysCat_FIXED, 4, 0, offsetof(AllTypes, fixed17), -1},
    {"blob", SysCat_BLOB, 255, 0, offsetof(AllTypes, blob), -1},
    {"lblob", SysCat_LBLOB, 8000, 0, offsetof(AllTypes, lblob), -1},
};
const SysCat_TABLE_DESCR kAll = {1, "alltypes", 9, kAllCols, 0, sizeof(AllTypes), 0, 0};

Bytes mem_blob(const std::string& s) {
  Bytes b(4 + s.size());
  const uint32_t n = static_cast<uint32_t>(s.size());
  memcpy(b.data(), &n, 4);
  memcpy(b.data() + 4, s.data(), s.size());
  return b;
}

TEST(SysCatFormat, EveryColumnTypeRoundTripsAndTheNinthValueFollowsTheSecondPresenceByte) {
  Entry e(&kAll);
  std::string s = "short", t = "a longer text";
  Bytes b = mem_blob(std::string("bl\0b", 4)), lb = mem_blob(std::string(300, 'q'));
  AllTypes row{{1, 2, 3, 4, 5, 6}, s.data(), t.data(), 0x1AB, 0x12345, 0xDEADBEEF, {9, 8, 7, 6},
               b.data(), lb.data()};
  const Bytes got = pack_row(e.map, &row);
  ASSERT_GE(got.size(), 4u);
  EXPECT_EQ(got[2], 0x00);  // first presence byte: all present
  // The second presence byte stands right before the ninth value (u32 300).
  const size_t ninth = got.size() - 300 - 4;
  EXPECT_EQ(got[ninth - 1], 0x00);
  EXPECT_EQ(got[ninth], 44);  // 300 = 0x12C, low byte 0x2C
  EXPECT_EQ(got[ninth + 1], 1);
  auto* back = static_cast<AllTypes*>(SysCat_UnpackRow(&e.map, got.data(), got.size()));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(memcmp(back->fixed1, row.fixed1, 6), 0);
  EXPECT_STREQ(back->str, "short");
  EXPECT_STREQ(back->text, "a longer text");
  EXPECT_EQ(back->i1, 0xABu);     // the low byte only
  EXPECT_EQ(back->i2, 0x2345u);   // the low two bytes
  EXPECT_EQ(back->i4, 0xDEADBEEFu);
  EXPECT_EQ(memcmp(back->fixed17, row.fixed17, 4), 0);
  ASSERT_NE(back->blob, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(back->blob) % 4, 0u);
  EXPECT_EQ(SysCat_BlobLength(back->blob), 4u);
  EXPECT_EQ(memcmp(SysCat_BlobBytes(back->blob), "bl\0b", 4), 0);
  EXPECT_EQ(SysCat_BlobLength(back->lblob), 300u);
  free(back);

  // Absent values of every variable type; the fixed and integer columns
  // are always present.
  AllTypes none{};
  const Bytes empty = pack_row(e.map, &none);
  ASSERT_EQ(empty.size(), 21u);
  EXPECT_EQ(empty[2], 0x61);   // str (bit 6), text (bit 5), blob (bit 0)
  EXPECT_EQ(empty[20], 0x80);  // lblob, the ninth column
  back = static_cast<AllTypes*>(SysCat_UnpackRow(&e.map, empty.data(), empty.size()));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->str, nullptr);
  EXPECT_EQ(back->text, nullptr);
  EXPECT_EQ(back->blob, nullptr);
  EXPECT_EQ(back->lblob, nullptr);
  free(back);
}

TEST(SysCatFormat, LengthsAtTheirLimitsAreCutToTheColumnSize) {
  Entry e(&kAll);
  struct Case {
    size_t len;
    size_t stored;
  };
  for (const Case c : {Case{0, 0}, Case{254, 254}, Case{255, 255}, Case{256, 255}, Case{300, 255}}) {
    std::string s(c.len, 'k');
    std::string t(c.len + 7800, 't');  // text: cut at 8000
    Bytes b = mem_blob(std::string(c.len, 'b'));
    AllTypes row{};
    row.str = s.data();
    row.text = t.data();
    row.blob = b.data();
    const Bytes got = pack_row(e.map, &row);
    auto* back = static_cast<AllTypes*>(SysCat_UnpackRow(&e.map, got.data(), got.size()));
    ASSERT_NE(back, nullptr) << c.len;
    EXPECT_EQ(strlen(back->str), c.stored) << c.len;
    EXPECT_EQ(strlen(back->text), std::min<size_t>(c.len + 7800, 8000)) << c.len;
    EXPECT_EQ(SysCat_BlobLength(back->blob), c.stored) << c.len;
    free(back);
  }
}

TEST(SysCatFormat, ColumnsBindByNameWithoutCaseAndUnknownOnesAreStepped) {
  // A stored sysgroup whose name column is "NAME" and with a column this
  // program does not know, between two known ones.
  const SysCat_COLUMN_DESCR cols[] = {{"gid", 7, 4, 0, 0, -1},
                                      {"extra", 2, 255, 0, 0, -1},
                                      {"NAME", 2, 255, 0, 0, -1},
                                      {"priv", 17, 4, 0, 0, -1}};
  const SysCat_TABLE_DESCR stored = {1, "sysgroup", 4, cols, 0, 0, 0, 0};
  const Bytes b = packed(&stored);
  Entry e(SysCat_StaticDescr(SysGroup_ID), &b);
  EXPECT_EQ(e.nd.cols[0].node_idx, 0);
  EXPECT_EQ(e.nd.cols[1].node_idx, -1);
  EXPECT_EQ(e.nd.cols[2].node_idx, 1);
  EXPECT_EQ(e.nd.cols[3].node_idx, 2);
  SysCat_GROUP g{7, const_cast<char*>("dba"), 3};
  const Bytes row = pack_row(e.map, &g);
  EXPECT_EQ(row[2], 0x40);  // the unknown column is written absent
  // A row written by a program that knows the column: its value is stepped over.
  const Bytes foreign = {4, 0, 0x00, 7, 0, 0, 0, 2, 'z', 'z', 3, 'd', 'b', 'a', 3, 0, 0, 0};
  auto* back = static_cast<SysCat_GROUP*>(SysCat_UnpackRow(&e.map, foreign.data(), foreign.size()));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->gid, 7u);
  EXPECT_STREQ(back->name, "dba");
  EXPECT_EQ(back->priv, 3u);
  free(back);
}

// Patches a packed sysmember description.
Bytes member_with(const std::function<void(Bytes&)>& edit) {
  Bytes b = packed(SysCat_StaticDescr(SysMember_ID));
  edit(b);
  return b;
}

TEST(SysCatFormat, CorruptedStoredDescriptionsAreRefused) {
  // Offsets in the packed sysmember description: name at 2..11, first
  // column's name size at 38, its name 39..42, type 43, size 44..45.
  struct Case {
    const char* what;
    Bytes bytes;
    int code;
  };
  const Bytes good = packed(SysCat_StaticDescr(SysMember_ID));
  const std::vector<Case> cases = {
      {"empty", {}, SC_E_DESCR},
      {"another revision", member_with([](Bytes& b) { b[0] = 2; }), SC_E_REV},
      {"only the fixed part", Bytes(good.begin(), good.begin() + 28), SC_E_DESCR},
      {"name size past the end", member_with([](Bytes& b) { b[1] = 200; }), SC_E_DESCR},
      {"name without its terminator", member_with([](Bytes& b) { b[11] = 'x'; }), SC_E_DESCR},
      {"name size zero", member_with([](Bytes& b) { b[1] = 0; }), SC_E_DESCR},
      {"column truncated", Bytes(good.begin(), good.end() - 3), SC_E_DESCR},
      {"column name size past the end", member_with([](Bytes& b) { b[47] = 60; }), SC_E_DESCR},
      {"column name without its terminator", member_with([](Bytes& b) { b[42] = 'x'; }), SC_E_DESCR},
      {"unknown column type", member_with([](Bytes& b) { b[43] = 9; }), SC_E_DESCR},
      {"column size above 8000", member_with([](Bytes& b) { b[44] = 0x41; b[45] = 0x1F; }), SC_E_DESCR},
      {"one-byte length with a size above 255", member_with([](Bytes& b) { b[43] = 2; b[44] = 0; b[45] = 1; }), SC_E_DESCR},
      {"string bound to an integer slot", member_with([](Bytes& b) { b[43] = 2; }), SC_E_DESCR},
      {"blob bound to an integer slot", member_with([](Bytes& b) { b[43] = 18; }), SC_E_DESCR},
      {"fixed value larger than its slot",
       member_with([](Bytes& b) { b[43] = 17; b[44] = 8; }), SC_E_DESCR},
      {"more columns than bytes", member_with([](Bytes& b) { b[12] = 3; }), SC_E_DESCR},
  };
  for (const Case& c : cases) {
    SysCat_NODE_DESCR nd;
    thread_set_error(0);
    EXPECT_EQ(unpack_node_descr(c.bytes.data(), c.bytes.size(), SysCat_StaticDescr(SysMember_ID), &nd), -1)
        << c.what;
    EXPECT_EQ(code(), c.code) << c.what;
    EXPECT_EQ(error_module(get_error()), ERR_MOD_SC) << c.what;
  }
}

TEST(SysCatFormat, TruncatedAndInconsistentRowsAreRefused) {
  Entry e(SysCat_StaticDescr(SysUser_ID));
  Bytes pw = mem_blob("secret");
  SysCat_USER u{5, const_cast<char*>("ann"), pw.data(), 1};
  const Bytes good = pack_row(e.map, &u);
  // Every prefix of a good row is refused (or, cut at a value's end with
  // the rest absent, never read past its end).
  for (size_t n = 0; n < good.size(); ++n) {
    Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
    thread_set_error(0);
    void* r = SysCat_UnpackRow(&e.map, cut.data(), cut.size());
    EXPECT_EQ(r, nullptr) << n;
    EXPECT_EQ(code(), SC_E_ROW) << n;
  }
  struct Case {
    const char* what;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"column count with its top bits set", {4, 0x10, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"string length past the end", {4, 0, 0x20, 5, 0, 0, 0, 200, 'a', 1, 0, 0, 0}},
      {"blob length past the end", {4, 0, 0, 5, 0, 0, 0, 3, 'a', 'n', 'n', 10, 'x', 'y'}},
  };
  for (const Case& c : cases) {
    thread_set_error(0);
    EXPECT_EQ(SysCat_UnpackRow(&e.map, c.bytes.data(), c.bytes.size()), nullptr) << c.what;
    EXPECT_EQ(code(), SC_E_ROW) << c.what;
  }
  // A value longer than its column holds is refused.
  Entry all(&kAll);
  Bytes longtext = {9, 0, 0x41, 1, 2, 3, 4, 5, 6, 0x41, 0x1F, 0, 0};  // text: 8001 bytes
  longtext.resize(longtext.size() + 8001, 'x');
  const Bytes rest = {1, 2, 0, 3, 0, 0, 0, 4, 5, 6, 7, 0x80};
  longtext.insert(longtext.end(), rest.begin(), rest.end());
  thread_set_error(0);
  EXPECT_EQ(SysCat_UnpackRow(&all.map, longtext.data(), longtext.size()), nullptr);
  EXPECT_EQ(code(), SC_E_ROW);
  Bytes ok = {9, 0, 0x41, 1, 2, 3, 4, 5, 6, 0x40, 0x1F, 0, 0};
  ok.resize(ok.size() + 8000, 'x');
  ok.insert(ok.end(), rest.begin(), rest.end());
  void* fine = SysCat_UnpackRow(&all.map, ok.data(), ok.size());
  EXPECT_NE(fine, nullptr);
  free(fine);
  // A buffer shorter than the fixed part is refused by unpack itself.
  uint8_t small[8];
  EXPECT_EQ(unpack_sys_entry(small, sizeof small, &e.map, good.data(), good.size()), -1);
  EXPECT_EQ(code(), SC_E_ROW);
  // Packing into too small a buffer is refused, not overrun.
  for (size_t cap : {size_t{0}, size_t{1}, size_t{2}, size_t{5}, good.size() - 1}) {
    Bytes out(cap + 1, 0xEE);
    EXPECT_EQ(pack_col_val(out.data(), cap, &e.map, &u), -1) << cap;
    EXPECT_EQ(out[cap], 0xEE) << cap;
  }
}

TEST(SysCatFormat, LogRecordsGoldenBytes) {
  SysCat_RECORD v;
  v.opcode = SysCat_OP_VMETA;
  v.prev = Node_ADDR{0x01000203, 0x0405, 0x0607};
  v.vmeta.unique = 0x11;
  v.vmeta.ofs_unique = 14;
  v.vmeta.anchor = SysCat_ANCHOR{2, Node_ADDR{0x100, 12, 30}, Node_ADDR{0x101, 50, 31}};
  v.vmeta.ofs_anchor = 18;
  uint8_t b[64];
  ASSERT_EQ(SysCat_EncodeRecord(v, b), 44u);
  const Bytes want = {1, 0, 0, 0, 3, 2, 0, 1, 5, 4, 7, 6, 0x11, 0, 0, 0, 14, 0, 0, 0,
                      2, 0, 0, 0, 0, 1, 0, 0, 12, 0, 30, 0, 1, 1, 0, 0, 50, 0, 31, 0,
                      18, 0, 0, 0};
  EXPECT_EQ(Bytes(b, b + 44), want);
  SysCat_RECORD back;
  ASSERT_EQ(SysCat_DecodeRecord(b, 44, &back), 0);
  EXPECT_EQ(back.vmeta.anchor.last.offset, 50);
  EXPECT_EQ(back.prev.cluster, 0x01000203u);

  SysCat_RECORD c;
  c.opcode = SysCat_OP_CREATE;
  c.node_id = 0x12345678;  // a node id, whatever the width of a pointer
  ASSERT_EQ(SysCat_EncodeRecord(c, b), 8u);
  EXPECT_EQ(Bytes(b, b + 8), (Bytes{2, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}));
  ASSERT_EQ(SysCat_DecodeRecord(b, 8, &back), 0);
  EXPECT_EQ(back.node_id, 0x12345678u);
  c.opcode = SysCat_OP_DELETE;
  c.node_id = 105;
  ASSERT_EQ(SysCat_EncodeRecord(c, b), 8u);
  EXPECT_EQ(Bytes(b, b + 8), (Bytes{3, 0, 0, 0, 105, 0, 0, 0}));

  // Wrong sizes and opcodes are refused.
  EXPECT_EQ(SysCat_DecodeRecord(b, 7, &back), -1);
  EXPECT_EQ(SysCat_DecodeRecord(b, 44, &back), -1);
  const uint8_t zero[8] = {};
  EXPECT_EQ(SysCat_DecodeRecord(zero, 8, &back), -1);
  const uint8_t four[8] = {4, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(SysCat_DecodeRecord(four, 8, &back), -1);
}

}  // namespace
