// Volume file records against their byte layout: the descriptor, the
// free-list page, headers, volume maps, the release upgrade and the free list
// of a new volume.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "storage/volume_format.h"

namespace {

// Hex digits with any spacing and "..." free comments after '#' on a line.
std::vector<uint8_t> hex(const char* text) {
  std::vector<uint8_t> out;
  int nibble = -1;
  for (const char* p = text; *p; ++p) {
    if (*p == '#') {
      while (*p && *p != '\n') ++p;
      if (!*p) break;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(*p))) continue;
    int v = std::isdigit(static_cast<unsigned char>(*p)) ? *p - '0' : (std::tolower(*p) - 'a' + 10);
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<uint8_t>(nibble << 4 | v));
      nibble = -1;
    }
  }
  return out;
}

// The descriptor proper of a new 320-page DATA root volume.
const char* const kNewRootDescriptor = R"(
  00000000 0100 0000                      # header: page 0 of volume 0, type 1, no flags
  57494E33 3220412E 30362E30 30000000     # "WIN32 A.06.00"
  1E000000                                # release 30
  D2040000                                # byte order 1234
  00000000 01000000 01000000              # volume 0, 1 volume, 1 used
  01000000 00000000 00000000 00000000     # used_map: volume 0
  00000000 00000000 00000000 00000000
  78563412                                # set id
  00000000                                # DATA
  00200000                                # page size 8192
  40010000 40000000 00000000              # 320 pages, extend by 64, no maximum
  3D010000                                # 317 free pages
  01000000 01000000 01000000              # free list: head page 1, tail page 1, one page
  00000000                                # no root page yet
  FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF     # standard_aldesc: all volumes
  FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF
  00000000 00000000 00000000 00000000     # tlog_aldesc
  00000000 00000000 00000000 00000000
  00000000 00000000 00000000 00000000     # temp_aldesc
  00000000 00000000 00000000 00000000
  00000000                                # generation 0
  00000000 00000000 00000000              # run-time: event function, free-list pointers
)";

VOLUME new_root_volume(uint32_t size) {
  VOLUME v;
  Vol_InitNewDescriptor(&v, 0, VolType_DATA, size, 0x12345678, 64, 0);
  std::strcpy(v.path, "/data/root.vol");
  Vol_BuildNewFreeList(&v);
  return v;
}

class NewVolume : public ::testing::Test {
 protected:
  void TearDown() override { Vol_DeleteFreeList(&vol); }
  VOLUME vol = new_root_volume(320);
};

TEST_F(NewVolume, DescriptorPageMatchesTheLayout) {
  // Run-time values in memory must not reach the disk as they are.
  platform::File* fake_handle = reinterpret_cast<platform::File*>(0x1234);
  vol.fhandle = fake_handle;
  vol.io_count = 7;
  vol.read_count = 5;
  vol.write_count = 2;
  std::vector<uint8_t> page(Vol_PAGESIZE, 0);
  Vol_EncodeDescriptorPage(vol, page.data());

  const std::vector<uint8_t> proper = hex(kNewRootDescriptor);
  ASSERT_EQ(proper.size(), Vol_DESCRIPTOR_PROPER_SIZE);
  EXPECT_EQ(std::vector<uint8_t>(page.begin(), page.begin() + 232), proper);
  EXPECT_STREQ(reinterpret_cast<const char*>(&page[232]), "/data/root.vol");
  for (size_t i = 232 + 14; i < 1256; ++i) ASSERT_EQ(page[i], 0) << i;
  EXPECT_EQ(std::vector<uint8_t>(page.begin() + 1256, page.begin() + 1276),
            hex("FFFFFFFF 00000000 07000000 05000000 02000000"));
  for (size_t i = 1276; i < Vol_PAGESIZE; ++i) ASSERT_EQ(page[i], 0xAA) << i;
}

TEST_F(NewVolume, FreeListPageMatchesTheLayout) {
  ASSERT_NE(vol.flmem_head, nullptr);
  EXPECT_EQ(vol.flmem_head, vol.flmem_tail);
  const uint8_t* img = vol.flmem_head->image;
  EXPECT_EQ(std::vector<uint8_t>(img, img + 52),
            hex("01000000 0200 0000"   // header: page 1, type 2
                "00000000"             // no next page
                "FCFFFFFF"             // word 0: pages 0 (descriptor) and 1 (this page) used
                "FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF"
                "FFFFFF7F"));          // word 9: page 319, the descriptor copy, used
  for (size_t i = 52; i < Vol_PAGESIZE; ++i) ASSERT_EQ(img[i], 0xFF) << i;
  EXPECT_EQ(Vol_FlistWord(vol.flmem_head, 0), 0xFFFFFFFCu);
  EXPECT_EQ(vol.free_size, 317u);
  EXPECT_EQ(Vol_CountFreePages(&vol), 317u);
}

TEST_F(NewVolume, DecodeRestoresTheDescriptorAndKeepsRunTimeFields) {
  std::vector<uint8_t> page(Vol_PAGESIZE);
  Vol_EncodeDescriptorPage(vol, page.data());
  VOLUME back;
  platform::File* fake_handle = reinterpret_cast<platform::File*>(0x5678);
  back.fhandle = fake_handle;
  back.io_count = 99;
  Vol_DecodeDescriptor(page.data(), &back);
  std::vector<uint8_t> again(Vol_PAGESIZE);
  back.io_count = vol.io_count;
  back.fhandle = nullptr;
  Vol_EncodeDescriptorPage(back, again.data());
  EXPECT_EQ(again, page);
  EXPECT_STREQ(back.path, "/data/root.vol");
  EXPECT_EQ(back.curr_size, 320u);
  EXPECT_EQ(back.flmem_head, nullptr);

  VOLUME kept;
  kept.fhandle = fake_handle;
  kept.io_count = 99;
  Vol_DecodeDescriptor(page.data(), &kept);
  EXPECT_EQ(kept.fhandle, fake_handle);
  EXPECT_EQ(kept.io_count, 99u);
}

TEST(VolumeFormat, DecodedPathIsAlwaysTerminated) {
  std::vector<uint8_t> record(Vol_DESCRIPTOR_SIZE, 'x');
  VOLUME v;
  Vol_DecodeDescriptor(record.data(), &v);
  EXPECT_EQ(strnlen(v.path, Vol_MAXPATH), static_cast<size_t>(Vol_MAXPATH - 1));
}

struct FreeListCase {
  const char* name;
  uint32_t size;
  uint32_t flist_pages;
};

void PrintTo(const FreeListCase& c, std::ostream* os) { *os << c.name; }

int page_is_free(const VOLUME& v, uint32_t page) {
  uint32_t bit;
  const Vol_FLMEM* fl = Vol_FlistFor(&v, page, &bit);
  return Vol_FlistIsFree(fl, bit);
}

class NewFreeList : public ::testing::TestWithParam<FreeListCase> {};

TEST_P(NewFreeList, CoversTheVolumeAndReservesItsOwnPages) {
  const FreeListCase& c = GetParam();
  EXPECT_EQ(Vol_FlistPagesFor(c.size), c.flist_pages);
  VOLUME v = new_root_volume(c.size);
  EXPECT_EQ(v.num_flist, c.flist_pages);
  EXPECT_EQ(v.free_size, c.size - c.flist_pages - 2);
  EXPECT_EQ(Vol_CountFreePages(&v), v.free_size);
  uint32_t n = 0, page = 1;
  for (Vol_FLMEM* fl = v.flmem_head; fl; fl = fl->next, ++n, ++page) {
    EXPECT_EQ(fl->page, Vol_PageAddr(0, page));
    EXPECT_EQ(Vol_CheckHeader(Vol_PAGE_FLIST, fl->page, fl->image), 0);
    EXPECT_EQ(Vol_FlistNext(fl), fl->next ? fl->next->page : 0u);
    EXPECT_EQ(page_is_free(v, page), 0);
  }
  EXPECT_EQ(n, c.flist_pages);
  EXPECT_EQ(v.flist_head, Vol_PageAddr(0, 1));
  EXPECT_EQ(v.flist_tail, Vol_PageAddr(0, c.flist_pages));
  EXPECT_EQ(page_is_free(v, 0), 0);
  EXPECT_EQ(page_is_free(v, 319), 0);
  EXPECT_EQ(page_is_free(v, c.size - 2), 1);
  Vol_DeleteFreeList(&v);
  EXPECT_EQ(v.flmem_head, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    VolumeFormat, NewFreeList,
    ::testing::Values(FreeListCase{"Smallest", 320, 1}, FreeListCase{"OneFullPage", 65440, 1},
                      FreeListCase{"OnePageMore", 65441, 2},
                      FreeListCase{"Largest", Vol_MAXPAGES, 257}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(VolumeFormat, HeaderStampCheckAndFlags) {
  uint8_t image[Vol_PAGESIZE];
  std::memset(image, 0x55, sizeof image);
  Vol_InitHeader(Vol_PAGE_NODE, 0x03000010, image);
  EXPECT_EQ(std::vector<uint8_t>(image, image + 8), hex("10000003 0300 0000"));
  EXPECT_EQ(Vol_CheckHeader(Vol_PAGE_NODE, 0x03000010, image), 0);
  EXPECT_EQ(Vol_CheckHeader(Vol_PAGE_NODE, 0x03000011, image), -1);
  EXPECT_EQ(Vol_CheckHeader(Vol_PAGE_ITEMLIST, 0x03000010, image), -1);
  Vol_SetFlag(Vol_FS_FULL, image);
  Vol_SetFlag(Vol_CONSISTENT, image);
  EXPECT_EQ(std::vector<uint8_t>(image + 6, image + 8), hex("8100"));
  EXPECT_EQ(Vol_TestFlag(Vol_FS_FULL, image), 1);
  Vol_ClearFlag(Vol_FS_FULL, image);
  EXPECT_EQ(Vol_TestFlag(Vol_FS_FULL, image), 0);
  EXPECT_EQ(Vol_TestFlag(Vol_CONSISTENT, image), 1);
  EXPECT_EQ(image[8], 0x55);

  // Meta data carries the node's type tag, first letter high.
  Vol_PGHEADER h;
  Vol_InitHeader(Vol_PAGE_TLOG_META, Vol_TAG_TL, &h);
  Vol_EncodeHeader(h, image);
  EXPECT_EQ(std::vector<uint8_t>(image, image + 8), hex("4C540000 0600 0000"));
  Vol_SetFlag(Vol_DIRTY, &h);
  EXPECT_EQ(Vol_TestFlag(Vol_DIRTY, &h), 1);
  EXPECT_EQ(Vol_CheckHeader(Vol_PAGE_TLOG_META, Vol_TAG_TL, &h), 0);
}

TEST(VolumeFormat, VolumeMapsSetClearAndEncodeBitPerVolume) {
  Vol_ALDESC d;
  Vol_SetAllocAllowed(0, &d);
  Vol_SetAllocAllowed(33, &d);
  Vol_SetAllocAllowed(255, &d);
  EXPECT_EQ(Vol_IsAllocAllowed(33, &d), 1);
  EXPECT_EQ(Vol_IsAllocAllowed(32, &d), 0);
  uint8_t bytes[32];
  Vol_EncodeAldesc(d, bytes);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 32),
            hex("01000000 02000000 00000000 00000000 00000000 00000000 00000000 00000080"));
  EXPECT_EQ(Vol_DecodeAldesc(bytes).map[1], 2u);
  Vol_ClearAllocAllowed(33, &d);
  EXPECT_EQ(Vol_IsAllocAllowed(33, &d), 0);
  Vol_SetAllAllocAllowed(&d);
  EXPECT_EQ(Vol_IsAllocAllowed(200, &d), 1);
  Vol_ClearAllAllocAllowed(&d);
  EXPECT_EQ(Vol_IsAllocAllowed(0, &d), 0);
}

TEST(VolumeFormatDeathTest, VolumeIndexOutsideTheMapIsAnAssertion) {
  Vol_ALDESC d;
  EXPECT_DEATH(Vol_SetAllocAllowed(256, &d), "volume");
  EXPECT_DEATH(Vol_IsAllocAllowed(-1, &d), "volume");
}

struct UpgradeCase {
  const char* name;
  uint32_t type;
  uint32_t release;
  bool resets_standard_and_tlog;
  bool resets_temp_and_generation;
};

void PrintTo(const UpgradeCase& c, std::ostream* os) { *os << c.name; }

class ReleaseUpgrade : public ::testing::TestWithParam<UpgradeCase> {};

TEST_P(ReleaseUpgrade, StepsFromTheReleaseReadToTheCurrentOne) {
  const UpgradeCase& c = GetParam();
  VOLUME v;
  v.type = c.type;
  v.release = c.release;
  Vol_ClearAllAllocAllowed(&v.standard_aldesc);
  Vol_SetAllocAllowed(3, &v.standard_aldesc);
  Vol_SetAllocAllowed(4, &v.tlog_aldesc);
  Vol_SetAllocAllowed(5, &v.temp_aldesc);
  v.generation = 7;
  Vol_UpgradeRelease(&v);
  EXPECT_EQ(v.release, c.release);  // written back by the volume set
  EXPECT_EQ(Vol_IsAllocAllowed(100, &v.standard_aldesc), c.resets_standard_and_tlog ? 1 : 0);
  EXPECT_EQ(Vol_IsAllocAllowed(4, &v.tlog_aldesc), c.resets_standard_and_tlog ? 0 : 1);
  EXPECT_EQ(Vol_IsAllocAllowed(5, &v.temp_aldesc), c.resets_temp_and_generation ? 0 : 1);
  EXPECT_EQ(v.generation, c.resets_temp_and_generation ? 1u : 7u);
}

INSTANTIATE_TEST_SUITE_P(
    VolumeFormat, ReleaseUpgrade,
    ::testing::Values(UpgradeCase{"Data28", VolType_DATA, 28, true, true},
                      UpgradeCase{"Data29", VolType_DATA, 29, false, true},
                      UpgradeCase{"Data30", VolType_DATA, 30, false, false},
                      UpgradeCase{"Temp29", VolType_TEMP, 29, false, true},
                      UpgradeCase{"Log7", VolType_LOG, 7, true, true},
                      UpgradeCase{"Log8", VolType_LOG, 8, false, true},
                      UpgradeCase{"Log9", VolType_LOG, 9, false, false}),
    [](const auto& i) { return std::string(i.param.name); });

TEST(VolumeFormat, CurrentReleaseFollowsTheType) {
  VOLUME v;
  Vol_InitNewDescriptor(&v, 2, VolType_LOG, 320, 1, 0, 0);
  EXPECT_EQ(v.release, 9u);
  EXPECT_EQ(v.header.page, Vol_PageAddr(2, 0));
  Vol_InitNewDescriptor(&v, 3, VolType_TEMP, 320, 1, 0, 0);
  EXPECT_EQ(v.release, 30u);
}

}  // namespace
