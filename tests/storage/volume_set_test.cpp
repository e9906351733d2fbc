// Volume set on fixture volumes written with the format encoders: opening in
// any file order, missing TEMP and LOG files, damaged descriptors and free
// lists refused with their messages, copies left apart by a crash repaired,
// first-fit allocation against a model, delayed frees, extension up to the
// maximum size, a full file system, a power loss at every write and flush of
// an extension, sync modes, properties, information records and the
// writer lock.
#include "storage/volume_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "base/error_status.h"
#include "base/panic.h"
#include "platform/fault_file.h"
#include "platform/file.h"
#include "storage/crash_file_system.h"
#include "storage/page_io.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "support/log_capture.h"
#include "support/process_runner.h"
#include "support/sweep_stride.h"
#include "support/volume_fixture.h"

// Test seam for the allocation failures the volume set must report: the
// next nothrow allocation of exactly this many bytes fails.
static std::atomic<size_t> g_fail_nothrow_size{0};

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  size_t fail = g_fail_nothrow_size.load();
  if (fail != 0 && size == fail && g_fail_nothrow_size.compare_exchange_strong(fail, 0))
    return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using platform::FaultFileSystem;
using platform::PowerLoss;
using storage_test::CrashFileSystem;
using storage_test::PowerCut;
using testsupport::LogCapture;
using testsupport::VolumeSetSpec;
using testsupport::VolumeSpec;

const std::string kRoot = "/v/root.vol";
const std::string kData = "/v/data1.vol";
const std::string kLog = "/v/log.vol";
const std::string kTemp = "/v/temp.vol";

VolumeSetSpec four_volumes() {
  VolumeSetSpec s;
  s.volumes = {{kRoot, VolType_DATA}, {kData, VolType_DATA}, {kLog, VolType_LOG},
               {kTemp, VolType_TEMP}};
  return s;
}

std::vector<std::string> paths_of(const VolumeSetSpec& s) {
  std::vector<std::string> p;
  for (const VolumeSpec& v : s.volumes) p.push_back(v.path);
  return p;
}

VOLUME* open_set(const std::vector<std::string>& paths, int force = 0) {
  std::vector<const char*> c;
  for (const std::string& p : paths) c.push_back(p.c_str());
  return Vol_Open(static_cast<int>(c.size()), c.data(), force);
}

void close_set() {
  if (Vol_GetRootVol() == nullptr) return;
  Vol_Close();
  Vol_Free();
}

bool test_flag(const VOLUME* v, int bit) { return Vol_TestFlag(bit, &v->header) != 0; }

// Decoded descriptor copy of a file, without any check.
VOLUME disk_descriptor(const std::string& path, int copy) {
  std::vector<uint8_t> page;
  EXPECT_EQ(testsupport::read_page(path, copy == 0 ? 0 : 319, &page), 0);
  VOLUME v;
  Vol_DecodeDescriptor(page.data(), &v);
  return v;
}

// The descriptor proper of both copies on disk, header aside.
bool copies_agree(const std::string& path) {
  std::vector<uint8_t> a, b;
  EXPECT_EQ(testsupport::read_page(path, 0, &a), 0);
  EXPECT_EQ(testsupport::read_page(path, 319, &b), 0);
  return std::equal(a.begin() + 8, a.begin() + Vol_DESCRIPTOR_PROPER_SIZE, b.begin() + 8);
}

class VolumeSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Refusals are expected here: their lines go to the test's output.
    debug_set_stream(stderr);
    platform::set_file_system(&fs);
  }
  void TearDown() override {
    close_set();
    platform::set_file_system(nullptr);
  }
  void write_set(const VolumeSetSpec& s) { ASSERT_EQ(testsupport::write_volume_set(s), 0); }
  VOLUME* open_default() {
    spec = four_volumes();
    write_set(spec);
    return open_set(paths_of(spec));
  }

  FaultFileSystem fs;
  VolumeSetSpec spec;
};

// --- Opening ---------------------------------------------------------------------

struct Shape {
  int num_volumes;
  int tlog_id;
  std::vector<std::string> slots;  // "path type size free" by id
  bool operator==(const Shape&) const = default;
};

Shape shape_of_open_set() {
  Shape s{Vol_NumVolumes(), Vol_GetTlogVol() ? static_cast<int>(Vol_GetTlogVol()->volume_id) : -1,
          {}};
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    const VOLUME& v = Vol_GetRootVol()[id];
    s.slots.push_back(std::string(v.path) + " " + std::to_string(v.type) + " " +
                      std::to_string(v.curr_size) + " " + std::to_string(v.free_size));
  }
  return s;
}

TEST_F(VolumeSetTest, AnyFileOrderOpensTheSameSet) {
  spec = four_volumes();
  write_set(spec);
  std::vector<std::string> order = paths_of(spec);
  std::sort(order.begin(), order.end());
  Shape first;
  int runs = 0;
  do {
    ASSERT_NE(open_set(order), nullptr) << order[0];
    Shape now = shape_of_open_set();
    if (runs++ == 0) first = now;
    EXPECT_EQ(now, first) << "order starting " << order[0] << ", " << order[1];
    close_set();
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(runs, 24);
  EXPECT_EQ(first.num_volumes, 4);
  EXPECT_EQ(first.tlog_id, 2);
  EXPECT_EQ(first.slots[0], kRoot + " 0 320 317");
}

struct MissingCase {
  const char* name;
  std::string missing;
  bool consistent;
  int force;
  bool opens;
  const char* message;
  int error;
};
void PrintTo(const MissingCase& c, std::ostream* os) { *os << c.name; }

class MissingFile : public VolumeSetTest, public ::testing::WithParamInterface<MissingCase> {};

// Whether a missing file is left out does not depend on where it is listed.
TEST_P(MissingFile, IsJudgedAfterEveryFileIsRead) {
  const MissingCase& c = GetParam();
  spec = four_volumes();
  spec.consistent = c.consistent;
  write_set(spec);
  fs.remove_file(c.missing);
  std::vector<std::string> rest;
  for (const std::string& p : paths_of(spec))
    if (p != c.missing) rest.push_back(p);
  for (bool missing_first : {true, false}) {
    std::vector<std::string> order = rest;
    order.insert(missing_first ? order.begin() : order.end(), c.missing);
    LogCapture log("V1");
    VOLUME* set = open_set(order, c.force);
    EXPECT_EQ(set != nullptr, c.opens) << (missing_first ? "first" : "last");
    EXPECT_TRUE(log.contains(c.message)) << log.text();
    EXPECT_EQ(Vol_LastError(), c.error);
    if (set != nullptr && c.missing == kTemp) {
      EXPECT_FALSE(Vol_IsAllocAllowed(3, &set->used_map));
      EXPECT_FALSE(Vol_IsAllocAllowed(3, &set->temp_aldesc));
      EXPECT_TRUE(Vol_IsAllocAllowed(3, &set->standard_aldesc));
    }
    if (set != nullptr && c.missing == kLog) {
      EXPECT_EQ(Vol_GetTlogVol(), nullptr);
      EXPECT_TRUE(test_flag(set, Vol_CONSISTENT));  // the set is taken as it stands
      // Still a volume of the set: its record says which, and that no file is open.
      Vol_XINFO x;
      ASSERT_EQ(Vol_GetVolumeInfo(2, &x), 0);
      EXPECT_EQ(x.volume_id, 2u);
      EXPECT_EQ(x.set_id, set->set_id);
      EXPECT_EQ(x.type, static_cast<uint32_t>(VolType_LOG));
      EXPECT_STREQ(x.path, "");
      EXPECT_EQ(x.curr_size, 0u);
      EXPECT_EQ(x.page_size, Vol_PAGESIZE);
    }
    close_set();
  }
}

INSTANTIATE_TEST_SUITE_P(
    VolumeSet, MissingFile,
    ::testing::Values(
        MissingCase{"TempIsDropped", kTemp, true, 0, true, "NOTE: Missing volume file: \"/v/temp.vol\"", 16},
        MissingCase{"LogOfCleanSet", kLog, true, 0, true,
                    "NOTE: 1 LOG volume missing - transactions not available", 11},
        MissingCase{"LogOfUncleanSetRefused", kLog, false, 0, false,
                    "failed to open volume: missing volume #2", 9},
        MissingCase{"LogOfUncleanSetForced", kLog, false, 1, true,
                    "NOTE: 1 LOG volume missing - data volume might be corrupted", 11},
        MissingCase{"DataRefused", kData, true, 0, false, "failed to open volume: missing volume #1", 9},
        MissingCase{"RootRefused", kRoot, true, 0, false, "failed to open volume: missing ROOT volume", 9}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(VolumeSetTest, SeveralMissingLogVolumesAreCountedInOneNote) {
  spec.volumes = {{kRoot, VolType_DATA}, {kLog, VolType_LOG}, {"/v/log2.vol", VolType_LOG}};
  write_set(spec);
  fs.remove_file(kLog);
  fs.remove_file("/v/log2.vol");
  LogCapture log("V1");
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_TRUE(log.contains("NOTE: 2 LOG volumes are missing - transactions not available"))
      << log.text();
  EXPECT_EQ(Vol_LastError(), VOL_E_NO_TRANSACTIONS);
}

TEST_F(VolumeSetTest, SetWithoutLogVolumeHasNoTransactions) {
  spec.volumes = {{kRoot, VolType_DATA}, {kData, VolType_DATA}};
  write_set(spec);
  LogCapture log("V1");
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_TRUE(log.contains("No LOG volume present - transactions not available"));
  EXPECT_EQ(Vol_LastError(), VOL_E_NO_TRANSACTIONS);
  EXPECT_EQ(Vol_GetTlogVol(), nullptr);
}

TEST_F(VolumeSetTest, EveryVolumeIsLockedAgainstOtherWriters) {
  ASSERT_NE(open_default(), nullptr);
  LogCapture log("V0");
  EXPECT_EQ(Vol_OpenSingle(kLog.c_str()), nullptr);
  EXPECT_EQ(Vol_LastError(), VOL_E_OPEN);
  EXPECT_TRUE(log.contains("Unable to open volume file")) << log.text();
  platform::File* f = nullptr;
  EXPECT_EQ(platform::file_open(kTemp.c_str(), platform::FILE_WRITE, &f), EBUSY);
  close_set();
  ASSERT_EQ(platform::file_open(kTemp.c_str(), platform::FILE_WRITE, &f), 0);
  platform::file_close(f);
}

TEST(VolumeSetRealFiles, SecondWriterOfAnOpenSetIsRefused) {
  testsupport::TempDir dir;
  VolumeSetSpec s;
  s.volumes = {{dir.file("root.vol"), VolType_DATA}, {dir.file("log.vol"), VolType_LOG}};
  ASSERT_EQ(testsupport::write_volume_set(s), 0);
  ASSERT_NE(open_set(paths_of(s)), nullptr);
  platform::File* f = nullptr;
  EXPECT_EQ(platform::file_open(s.volumes[1].path.c_str(), platform::FILE_WRITE, &f), EBUSY);
  close_set();
}

// --- Damaged files ---------------------------------------------------------------------

struct DamageCase {
  const char* name;
  std::function<void(FaultFileSystem&)> damage;
  const char* message;
  int single_error;  // status of Vol_OpenSingle on the damaged file; 0 = it opens
  std::string file;
};
void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

// Edits one copy, or both (copy -1), of a descriptor.
std::function<void(FaultFileSystem&)> edit(const std::string& path, int copy,
                                           std::function<void(VOLUME&)> fn) {
  return [=](FaultFileSystem&) {
    for (int c : {0, 1}) {
      if (copy >= 0 && copy != c) continue;
      ASSERT_EQ(testsupport::patch_descriptor(path, c, fn), 0);
    }
  };
}

// Rewrites free-list page `page` of path: its next link and one bitmap bit.
std::function<void(FaultFileSystem&)> edit_flist(const std::string& path, uint32_t page,
                                                 std::function<void(Vol_FLMEM*)> fn) {
  return [=](FaultFileSystem&) {
    Vol_FLMEM* fl = Vol_CreateFreeDescriptor(page);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(testsupport::read_page(path, PAGE_NUMBER(page), &bytes), 0);
    memcpy(fl->image, bytes.data(), Vol_PAGESIZE);
    fn(fl);
    bytes.assign(fl->image, fl->image + Vol_PAGESIZE);
    Vol_FreeFreeDescriptor(fl);
    ASSERT_EQ(testsupport::write_page(path, PAGE_NUMBER(page), bytes), 0);
  };
}

std::function<void(FaultFileSystem&)> both(std::function<void(FaultFileSystem&)> a,
                                           std::function<void(FaultFileSystem&)> b) {
  return [=](FaultFileSystem& fs) {
    a(fs);
    b(fs);
  };
}

// A third free-list page at page 2 (the volume may have more free-list
// pages than it needs), with next as its link.
std::function<void(FaultFileSystem&)> extra_flist_page(const std::string& path, uint32_t next) {
  return [=](FaultFileSystem&) {
    Vol_FLMEM* fl = Vol_CreateFreeDescriptor(2);
    Vol_FlistSetNext(fl, next);
    std::vector<uint8_t> bytes(fl->image, fl->image + Vol_PAGESIZE);
    Vol_FreeFreeDescriptor(fl);
    ASSERT_EQ(testsupport::write_page(path, 2, bytes), 0);
  };
}

std::function<void(FaultFileSystem&)> copy_file(const std::string& from, const std::string& to) {
  return [=](FaultFileSystem& fs) { fs.put_file(to, fs.contents(from)); };
}

// Volume id of a set of id + 1 volumes with the same set id, as file to.
std::function<void(FaultFileSystem&)> volume_of_bigger_set(uint32_t id, const std::string& to) {
  return [=](FaultFileSystem& fs) {
    VolumeSetSpec big;
    for (uint32_t i = 0; i <= id; ++i) big.volumes.push_back({"/big/" + std::to_string(i)});
    ASSERT_EQ(testsupport::write_volume_set(big), 0);
    fs.put_file(to, fs.contents(big.volumes[id].path));
  };
}

class DamagedSet : public VolumeSetTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedSet, IsRefusedWithItsMessage) {
  const DamageCase& c = GetParam();
  spec = four_volumes();
  write_set(spec);
  c.damage(fs);
  {
    LogCapture log("V0");
    VOLUME* single = Vol_OpenSingle(c.file.c_str());
    EXPECT_EQ(single != nullptr, c.single_error == 0);
    if (c.single_error != 0) {
      EXPECT_EQ(Vol_LastError(), c.single_error);
      EXPECT_TRUE(log.contains(c.message)) << log.text();
    }
    Vol_FreeSingle(single);
  }
  LogCapture log("V0");
  EXPECT_EQ(open_set(paths_of(spec)), nullptr);
  EXPECT_EQ(Vol_LastError(), VOL_E_INCONSISTENT);
  EXPECT_TRUE(log.contains(c.message)) << log.text();
  // Nothing of the refused set stays open.
  EXPECT_EQ(Vol_GetRootVol(), nullptr);
  platform::File* f = nullptr;
  ASSERT_EQ(platform::file_open(kRoot.c_str(), platform::FILE_WRITE, &f), 0);
  platform::file_close(f);
}

const uint32_t kRootFlist = 1;
const uint32_t kDataFlist = (1u << 24) | 1;

INSTANTIATE_TEST_SUITE_P(
    VolumeSet, DamagedSet,
    ::testing::Values(
        // One descriptor copy fails its checks.
        DamageCase{"HeaderType", edit(kRoot, 0, [](VOLUME& v) { v.header.type = 2; }),
                   "invalid page header, page=0x0", 7, kRoot},
        DamageCase{"HeaderPage", edit(kData, 0, [](VOLUME& v) { v.header.page = 7; }),
                   "invalid page header, page=0x1000000", 7, kData},
        DamageCase{"ByteOrderReversed", edit(kRoot, 0, [](VOLUME& v) { v.byte_order = 0xD2040000; }),
                   "invalid byte order", 7, kRoot},
        DamageCase{"DataRelease31", edit(kRoot, 0, [](VOLUME& v) { v.release = 31; }),
                   "invalid volume release", 7, kRoot},
        DamageCase{"DataRelease9", edit(kData, 0, [](VOLUME& v) { v.release = 9; }),
                   "invalid volume release", 7, kData},
        DamageCase{"LogRelease10", edit(kLog, 0, [](VOLUME& v) { v.release = 10; }),
                   "invalid log volume release", 7, kLog},
        DamageCase{"NoRevision", edit(kRoot, 0, [](VOLUME& v) { v.revision[0] = 0; }),
                   "volume revision not recognized", 7, kRoot},
        DamageCase{"VolumeId256", edit(kRoot, 0, [](VOLUME& v) { v.volume_id = 256; }),
                   "volume identifier out of range", 7, kRoot},
        DamageCase{"PageSize", edit(kRoot, 0, [](VOLUME& v) { v.page_size = 4096; }),
                   "invalid page size 4096", 7, kRoot},
        DamageCase{"NoVolumes", edit(kRoot, 0, [](VOLUME& v) { v.num_volumes = 0; }),
                   "invalid number of volumes 0", 7, kRoot},
        DamageCase{"TooManyVolumes", edit(kRoot, 0, [](VOLUME& v) { v.num_volumes = 257; }),
                   "invalid number of volumes 257", 7, kRoot},
        DamageCase{"SizeTooSmall", edit(kData, 0, [](VOLUME& v) { v.curr_size = 319; }),
                   "invalid volume size 319", 7, kData},
        DamageCase{"SizeTooLarge", edit(kData, 0, [](VOLUME& v) { v.curr_size = 0x1000001; }),
                   "invalid volume size 16777217", 7, kData},
        DamageCase{"ExtensionSizeOne", edit(kData, 0, [](VOLUME& v) { v.ext_size = 1; }),
                   "invalid extension size 1", 7, kData},
        DamageCase{"MaximumBelowSize", edit(kData, 0, [](VOLUME& v) { v.max_size = 100; }),
                   "maximum size 100 below current size 320", 7, kData},
        DamageCase{"NoFreeListPages", edit(kRoot, 0, [](VOLUME& v) { v.num_flist = 0; }),
                   "0 free-list pages for 320 pages", 7, kRoot},
        DamageCase{"TooManyFreeListPages", edit(kRoot, 0, [](VOLUME& v) { v.num_flist = 300; }),
                   "300 free-list pages for 320 pages", 7, kRoot},
        DamageCase{"FreeListHeadPastEnd", edit(kRoot, 0, [](VOLUME& v) { v.flist_head = 320; }),
                   "invalid free-list page 0x140", 7, kRoot},
        DamageCase{"FreeListHeadOnOtherVolume",
                   edit(kRoot, 0, [](VOLUME& v) { v.flist_head = kDataFlist; }),
                   "invalid free-list page 0x1000001", 7, kRoot},
        DamageCase{"FreeListTailOnCopy", edit(kRoot, 0, [](VOLUME& v) { v.flist_tail = 319; }),
                   "invalid free-list page 0x13f", 7, kRoot},
        DamageCase{"TruncatedFile",
                   [](FaultFileSystem& fs) {
                     std::vector<uint8_t> bytes = fs.contents(kData);
                     bytes.resize(100 * Vol_PAGESIZE);
                     fs.put_file(kData, bytes);
                   },
                   "unable to read page=0x13f", 7, kData},
        // The two copies disagree where they must not.
        DamageCase{"CopiesDifferInSetId", edit(kData, 1, [](VOLUME& v) { v.set_id = 9; }),
                   "invalid copy of volume descriptor (set_id)", 18, kData},
        DamageCase{"CopiesDifferInType", edit(kTemp, 1, [](VOLUME& v) { v.type = VolType_DATA; }),
                   "invalid copy of volume descriptor (type)", 18, kTemp},
        DamageCase{"CopiesDifferInFreeListHead",
                   edit(kRoot, 1, [](VOLUME& v) { v.flist_head = 2; }),
                   "invalid copy of volume descriptor (flist_head)", 18, kRoot},
        // Damage in copy 0 that no crash between the two writes explains: a
        // size the file does not have, a volume map that is no volume added.
        DamageCase{"CopiesDifferInSizeNeitherTheFiles",
                   both(edit(kData, 0, [](VOLUME& v) { v.curr_size = 400; }),
                        edit(kData, 1, [](VOLUME& v) { v.curr_size = 336; })),
                   "invalid copy of volume descriptor (curr_size)", 18, kData},
        DamageCase{"CopyZeroUsedMapLosesAVolume",
                   edit(kRoot, 0, [](VOLUME& v) { Vol_ClearAllocAllowed(1, &v.used_map); }),
                   "invalid copy of volume descriptor (used_map)", 18, kRoot},
        DamageCase{"CopyZeroUsedMapGainsABit",
                   edit(kRoot, 0, [](VOLUME& v) { Vol_SetAllocAllowed(200, &v.used_map); }),
                   "invalid copy of volume descriptor (used_map)", 18, kRoot},
        DamageCase{"CopyOneDamaged", edit(kRoot, 1, [](VOLUME& v) { v.byte_order = 4321; }),
                   "invalid byte order, page=0x13f", 7, kRoot},
        // Free-list chains.
        DamageCase{"ChainShorterThanCount", edit(kRoot, -1, [](VOLUME& v) { v.num_flist = 2; }),
                   "free-list chain of volume #0 is broken at page=0x0 (1 of 2 pages)", 7, kRoot},
        DamageCase{"ChainLeavesVolume",
                   both(edit(kRoot, -1, [](VOLUME& v) { v.num_flist = 2; }),
                        edit_flist(kRoot, kRootFlist,
                                   [](Vol_FLMEM* fl) { Vol_FlistSetNext(fl, kDataFlist); })),
                   "broken at page=0x1000001", 7, kRoot},
        DamageCase{"ChainLoops",
                   both(both(edit(kRoot, -1,
                                  [](VOLUME& v) {
                                    v.num_flist = 3;
                                    v.flist_tail = 2;
                                  }),
                             edit_flist(kRoot, kRootFlist,
                                        [](Vol_FLMEM* fl) {
                                          Vol_FlistSetNext(fl, 2);
                                          Vol_FlistMarkUsed(fl, 2);
                                        })),
                        extra_flist_page(kRoot, kRootFlist)),
                   "free-list chain of volume #0 loops at page=0x1", 7, kRoot},
        DamageCase{"ChainEndsBeforeTail", edit(kData, -1, [](VOLUME& v) { v.flist_tail = (1u << 24) | 2; }),
                   "ends at page=0x1000001, not at its tail page=0x1000002", 7, kData},
        DamageCase{"FreeListPageHeader",
                   edit_flist(kRoot, kRootFlist,
                              [](Vol_FLMEM* fl) { Vol_InitHeader(Vol_PAGE_NODE, 1, fl->image); }),
                   "Vol_ReadFreeDescriptor() failed: file is corrupt", 7, kRoot},
        DamageCase{"ReservedPageFree",
                   edit_flist(kData, kDataFlist, [](Vol_FLMEM* fl) { Vol_FlistMarkFree(fl, 319); }),
                   "volume #1 marks its reserved page 319 free", 7, kData},
        // The files do not form one set.
        DamageCase{"ForeignFile", edit(kData, -1, [](VOLUME& v) { v.set_id = 77; }),
                   "file does not belong to volume set (1: /v/data1.vol)", 0, kData},
        DamageCase{"SecondRoot", copy_file(kRoot, kData),
                   "more than one ROOT volume specified (/v/data1.vol)", 0, kData},
        DamageCase{"SameIdTwice", copy_file(kData, kTemp), "volume already exists, volume_id=1",
                   0, kTemp},
        DamageCase{"IdBeyondTheSet", volume_of_bigger_set(5, kTemp),
                   "volume_id 5 is out of range, set contains 4 volumes", 0, kTemp},
        DamageCase{"RootCountsTooFew", edit(kRoot, -1, [](VOLUME& v) { v.num_volumes = 2; }),
                   "number of volumes is not correct (4 specified, should be 2)", 0, kRoot},
        DamageCase{"DataGeneration", edit(kData, -1, [](VOLUME& v) { v.generation = 7; }),
                   "volume #1 has inconsistent generation count 7 (should be 1)", 0, kData},
        DamageCase{"LogGenerationOfUncleanSet",
                   both(edit(kRoot, -1, [](VOLUME& v) { v.header.flags = 0; }),
                        edit(kLog, -1, [](VOLUME& v) { v.generation = 7; })),
                   "volume #2 has inconsistent generation count 7 (should be 1)", 0, kLog},
        DamageCase{"UnknownType", edit(kData, -1, [](VOLUME& v) { v.type = 5; }),
                   "volume #1 has unknown type 5", 0, kData},
        DamageCase{"LogInDataMap",
                   edit(kRoot, -1, [](VOLUME& v) { Vol_SetAllocAllowed(2, &v.standard_aldesc); }),
                   "volume #2 has inconsistent allocator settings", 0, kRoot},
        DamageCase{"UsedMapNamesAVolumeBeyondTheSet",
                   edit(kRoot, -1, [](VOLUME& v) { Vol_SetAllocAllowed(200, &v.used_map); }),
                   "volume #200 is in the used map of a set of 4 volumes", 0, kRoot},
        DamageCase{"RootPageOutsideTheSet",
                   edit(kRoot, -1, [](VOLUME& v) { v.first_page = (1u << 24) | 400; }),
                   "volume #0 has an invalid root page 0x1000190", 0, kRoot}),
    [](const auto& p) { return std::string(p.param.name); });

// Fuzz-style: one word of a descriptor copy (0, 1 or both) or of a
// free-list page set to a value on the edge of what the set computes with,
// or to a random one. The open either refuses the set (VOL E009, nothing
// left open) or opens a set that allocates, frees, extends, syncs, closes
// and opens again; never a crash, an assertion or a loop.
TEST_F(VolumeSetTest, CorruptWordsAreRefusedOrHarmless) {
  spec = four_volumes();
  spec.volumes[0].ext_size = 16;
  spec.volumes[2].ext_size = 16;
  write_set(spec);
  const std::vector<std::string> paths = paths_of(spec);
  std::vector<std::vector<uint8_t>> pristine;
  uint64_t total = 0;
  for (const std::string& p : paths) {
    pristine.push_back(fs.contents(p));
    total += pristine.back().size();
  }
  // A set of this size writes only its descriptors and its one free-list
  // page, or grows: putting those pages back is much cheaper than the files.
  auto restore = [&](size_t i) {
    platform::File* f = nullptr;
    platform::FileInfo info;
    ASSERT_EQ(platform::file_open(paths[i].c_str(), platform::FILE_READ, &f), 0);
    ASSERT_EQ(f->info(&info), 0);
    platform::file_close(f);
    if (info.size != pristine[i].size()) return fs.put_file(paths[i], pristine[i]);
    for (uint32_t page : {Vol_DESC_PAGE, 1u, Vol_DESC_COPY_PAGE}) {
      const auto at = pristine[i].begin() + static_cast<long>(Vol_PageOffset(page));
      ASSERT_EQ(testsupport::write_page(paths[i], page, {at, at + Vol_PAGESIZE}), 0);
    }
  };
  fs.set_capacity(total + 64 * Vol_PAGESIZE);  // extensions stay small
  const uint32_t edges[] = {0,       1,          2,          8,          319,        320,
                            321,     0xFFFF,     65440,      65441,      0x1000000,  0x1000001,
                            1234,    0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x01000001, 0x0200013F};
  std::mt19937 rng(5);
  LogCapture quiet("V0");
  int refused = 0, opened = 0;
  for (int round = 0; round < 800; ++round) {
    for (size_t i = 0; i < paths.size(); ++i) restore(i);
    const std::string& file = paths[rng() % paths.size()];
    const uint32_t where = rng() % 4;  // copy 0, copy 1, both copies, free-list page
    const uint32_t value = rng() % 3 == 0 ? static_cast<uint32_t>(rng()) : edges[rng() % 18];
    // In a free-list page: its header and link, the bitmap words that hold
    // the reserved pages 0, 1 and 319, or any bitmap word.
    const uint32_t flist_words[] = {0, 1, 2, 3, 3 + 319 / 32,
                                    3 + static_cast<uint32_t>(rng() % Vol_FLIST_SIZE)};
    const uint32_t word =
        where < 3 ? rng() % (Vol_DESCRIPTOR_PROPER_SIZE / 4) : flist_words[rng() % 6];
    std::vector<uint32_t> pages;
    if (where == 0 || where == 2) pages.push_back(Vol_DESC_PAGE);
    if (where == 1 || where == 2) pages.push_back(Vol_DESC_COPY_PAGE);
    if (where == 3) pages.push_back(1);  // the first free-list page
    for (uint32_t page : pages) {
      std::vector<uint8_t> bytes;
      ASSERT_EQ(testsupport::read_page(file, page, &bytes), 0);
      for (int b = 0; b < 4; ++b) bytes[4 * word + b] = static_cast<uint8_t>(value >> (8 * b));
      ASSERT_EQ(testsupport::write_page(file, page, bytes), 0);
    }
    const std::string what = file + " page " + std::to_string(pages[0]) + " word " +
                             std::to_string(word) + " = " + std::to_string(value) +
                             (where == 2 ? " (both copies)" : "");
    if (open_set(paths) == nullptr) {
      ++refused;
      ASSERT_EQ(Vol_LastError(), VOL_E_INCONSISTENT) << what;
      ASSERT_EQ(Vol_GetRootVol(), nullptr) << what;
      continue;
    }
    ++opened;
    std::vector<std::pair<Vol_PAGEADDR, int>> held;
    for (int i = 0; i < 40; ++i) {
      const int count = 1 + static_cast<int>(rng() % 8);
      const bool log = Vol_GetTlogVol() != nullptr && rng() % 3 == 0;
      const Vol_PAGEADDR p = Vol_AllocPage(count, log ? Vol_GetTlogAldesc() : nullptr);
      if (p == 0) continue;
      held.push_back({p, count});
      const VOLUME& v = Vol_GetRootVol()[PAGE_VOLID(p)];
      for (uint32_t n = PAGE_NUMBER(p); n < PAGE_NUMBER(p) + count; ++n) {
        ASSERT_TRUE(n != Vol_DESC_PAGE && n != Vol_DESC_COPY_PAGE && n < v.curr_size)
            << n << " handed out after " << what;
        for (const Vol_FLMEM* fl = v.flmem_head; fl != nullptr; fl = fl->next)
          ASSERT_NE(PAGE_NUMBER(fl->page), n) << "free-list page handed out after " << what;
      }
    }
    for (size_t i = 0; i < held.size(); i += 2) Vol_FreePage(held[i].first, held[i].second);
    Vol_Sync(Vol_TIO_SYNC);
    close_set();
    ASSERT_NE(open_set(paths), nullptr) << "reopening after " << what;
    close_set();
  }
  EXPECT_GT(refused, 150);
  EXPECT_GT(opened, 300);
}

// The path field holds 1023 characters and its terminator: a longer path
// is refused before the file is opened, the longest one is kept whole.
TEST_F(VolumeSetTest, PathsLongerThanTheFieldAreRefused) {
  const std::string longest = "/v/" + std::string(Vol_MAXPATH - 1 - 3, 'p');
  spec.volumes = {{longest, VolType_DATA}, {kLog, VolType_LOG}};
  write_set(spec);
  ASSERT_NE(open_set({longest, kLog}), nullptr);
  EXPECT_EQ(std::string(Vol_GetRootVol()->path), longest);
  close_set();
  LogCapture log("V0");
  EXPECT_EQ(open_set({longest + "q", kLog}), nullptr);
  EXPECT_EQ(Vol_LastError(), VOL_E_INCONSISTENT);
  EXPECT_TRUE(log.contains("Unable to open volume file: path too long")) << log.text();
}

TEST_F(VolumeSetTest, TwoPrimaryLogVolumesAreRefused) {
  spec = four_volumes();
  spec.volumes.push_back({"/v/log2.vol", VolType_LOG});
  write_set(spec);
  for (uint32_t id : {2u, 4u})
    ASSERT_EQ(testsupport::patch_descriptor(spec.volumes[id].path, 0,
                                            [id](VOLUME& v) { v.first_page = (id << 24) | 5; }),
              0);
  for (uint32_t id : {2u, 4u})
    ASSERT_EQ(testsupport::patch_descriptor(spec.volumes[id].path, 1,
                                            [id](VOLUME& v) { v.first_page = (id << 24) | 5; }),
              0);
  LogCapture log("V0");
  EXPECT_EQ(open_set(paths_of(spec)), nullptr);
  EXPECT_TRUE(log.contains("more than one primary transaction log volume present"));
}

TEST_F(VolumeSetTest, PrimaryLogVolumeIsTheOneWithARootPage) {
  spec = four_volumes();
  spec.volumes.push_back({"/v/log2.vol", VolType_LOG});
  write_set(spec);
  for (int copy : {0, 1})
    ASSERT_EQ(testsupport::patch_descriptor("/v/log2.vol", copy,
                                            [](VOLUME& v) { v.first_page = (4u << 24) | 5; }),
              0);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_EQ(Vol_GetTlogVol()->volume_id, 4u);
}

TEST_F(VolumeSetTest, LogGenerationOfCleanSetIsTakenFromTheRoot) {
  spec = four_volumes();
  write_set(spec);
  for (int copy : {0, 1})
    ASSERT_EQ(testsupport::patch_descriptor(kLog, copy, [](VOLUME& v) { v.generation = 7; }), 0);
  LogCapture log("V0");
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_TRUE(log.contains(
      "NOTE: LOG volume 2 has inconsistent generation count - ignored since data volume is "
      "consistent"));
  EXPECT_EQ(Vol_GetRootVol()[2].generation, 1u);
  Vol_Sync(Vol_TIO_SYNC);
  close_set();
  EXPECT_EQ(disk_descriptor(kLog, 0).generation, 1u);
  EXPECT_EQ(disk_descriptor(kLog, 1).generation, 1u);
}

// --- Copies left apart by a crash between their writes ----------------------------

struct ApartCase {
  const char* name;
  const char* field;
  std::function<void(VOLUME&)> older;
};
void PrintTo(const ApartCase& c, std::ostream* os) { *os << c.name; }

class CopiesApart : public VolumeSetTest, public ::testing::WithParamInterface<ApartCase> {};

TEST_P(CopiesApart, KeepCopyZeroAndRewriteCopyOne) {
  const ApartCase& c = GetParam();
  spec = four_volumes();
  spec.volumes[0].size = 400;
  spec.volumes[0].ext_size = 16;
  write_set(spec);
  ASSERT_EQ(testsupport::patch_descriptor(kRoot, 1, c.older), 0);
  {
    LogCapture log("V0");
    VOLUME* set = open_set(paths_of(spec));
    ASSERT_NE(set, nullptr);
    EXPECT_TRUE(log.contains(std::string("copies of the volume descriptor differ (") + c.field +
                             ") - copy 0 kept, copy 1 rewritten"))
        << log.text();
    EXPECT_EQ(set->curr_size, 400u);
  }
  EXPECT_TRUE(copies_agree(kRoot));
  close_set();
  LogCapture log("V0");
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_FALSE(log.contains("differ")) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    VolumeSet, CopiesApart,
    ::testing::Values(ApartCase{"Size", "curr_size", [](VOLUME& v) { v.curr_size = 320; }},
                      ApartCase{"FreeListCount", "num_flist", [](VOLUME& v) { v.num_flist = 2; }},
                      ApartCase{"RootPage", "first_page", [](VOLUME& v) { v.first_page = 9; }},
                      ApartCase{"ExtensionSize", "ext_size", [](VOLUME& v) { v.ext_size = 0; }},
                      ApartCase{"MaximumSize", "max_size", [](VOLUME& v) { v.max_size = 900; }},
                      ApartCase{"Release", "release", [](VOLUME& v) { v.release = 29; }}),
    [](const auto& p) { return std::string(p.param.name); });

// Copy 0's size damaged, copy 1 names the file's length: copy 1 wins and
// is written over the damage, never the other way round.
TEST_F(VolumeSetTest, CopyZeroSizeNotTheFilesIsMendedFromCopyOne) {
  spec = four_volumes();
  write_set(spec);
  ASSERT_EQ(testsupport::patch_descriptor(kData, 0, [](VOLUME& v) { v.curr_size = 400; }), 0);
  {
    LogCapture log("V0");
    ASSERT_NE(open_set(paths_of(spec)), nullptr);
    EXPECT_TRUE(log.contains("copies of the volume descriptor differ (curr_size) - copy 1 kept, "
                             "copy 0 rewritten"))
        << log.text();
    EXPECT_FALSE(log.contains("copy 0 kept")) << log.text();
    EXPECT_EQ(Vol_GetRootVol()[1].curr_size, 320u);
  }
  close_set();
  EXPECT_EQ(disk_descriptor(kData, 0).curr_size, 320u);
  EXPECT_EQ(disk_descriptor(kData, 1).curr_size, 320u);
}

// A volume added by spacegrow whose root copy 1 a crash kept from the disk:
// copy 0 names one volume more, counted.
TEST_F(VolumeSetTest, VolumeAddedBeforeCopyOneIsKept) {
  spec = four_volumes();
  write_set(spec);
  ASSERT_EQ(testsupport::patch_descriptor(kRoot, 1,
                                          [](VOLUME& v) {
                                            Vol_ClearAllocAllowed(3, &v.used_map);
                                            v.used_volumes--;
                                            v.num_volumes = 3;
                                          }),
            0);
  LogCapture log("V0");
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_TRUE(log.contains("copies of the volume descriptor differ (num_volumes) - copy 0 kept"))
      << log.text();
  close_set();
  EXPECT_TRUE(copies_agree(kRoot));
}

TEST_F(VolumeSetTest, ExtensionDuringBackupThatNeverEndedIsForgiven) {
  spec = four_volumes();
  write_set(spec);
  ASSERT_EQ(testsupport::patch_descriptor(kData, 1, [](VOLUME& v) {
              v.curr_size = 336;
              Vol_SetFlag(Vol_IS_REDIRECTED, &v.header);
            }),
            0);
  LogCapture log("V0");
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_TRUE(log.contains("volume header inconsistency: on-line backup mode was not cleanly "
                           "shutdown (1: /v/data1.vol)"))
      << log.text();
  EXPECT_EQ(Vol_GetRootVol()[1].curr_size, 320u);
}

TEST_F(VolumeSetTest, OlderReleasesAreUpgradedAndWrittenBack) {
  spec = four_volumes();
  write_set(spec);
  for (const std::string& p : paths_of(spec)) {
    for (int copy : {0, 1}) {
      ASSERT_EQ(testsupport::patch_descriptor(p, copy,
                                              [](VOLUME& v) {
                                                v.release = v.type == VolType_LOG ? 7 : 28;
                                                Vol_SetAllAllocAllowed(&v.standard_aldesc);
                                                Vol_ClearAllAllocAllowed(&v.tlog_aldesc);
                                                Vol_ClearAllAllocAllowed(&v.temp_aldesc);
                                              }),
                0);
    }
  }
  VOLUME* set = open_set(paths_of(spec));
  ASSERT_NE(set, nullptr);
  EXPECT_TRUE(Vol_IsAllocAllowed(2, &set->tlog_aldesc));
  EXPECT_FALSE(Vol_IsAllocAllowed(2, &set->standard_aldesc));
  EXPECT_TRUE(Vol_IsAllocAllowed(3, &set->temp_aldesc));
  EXPECT_FALSE(Vol_IsAllocAllowed(3, &set->standard_aldesc));
  EXPECT_TRUE(Vol_IsAllocAllowed(1, &set->standard_aldesc));
  for (const std::string& p : paths_of(spec)) {
    const VOLUME v = disk_descriptor(p, 1);
    EXPECT_EQ(v.release, v.type == VolType_LOG ? 9u : 30u) << p;
  }
  close_set();
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_TRUE(Vol_IsAllocAllowed(2, &Vol_GetRootVol()->tlog_aldesc));
}

// --- Allocation --------------------------------------------------------------------

TEST_F(VolumeSetTest, FirstFitHandsOutTheLowestRunAndNeverAReservedPage) {
  ASSERT_NE(open_default(), nullptr);
  EXPECT_EQ(Vol_AllocPage(1, nullptr), 2u);
  EXPECT_EQ(Vol_AllocPage(8, nullptr), 3u);
  Vol_FreePage(3, 2);
  EXPECT_EQ(Vol_AllocPage(3, nullptr), 11u);
  EXPECT_EQ(Vol_AllocPage(2, nullptr), 3u);
  // Page 319 splits the end of the root volume: a run of 8 goes elsewhere.
  std::vector<bool> seen(320);
  for (;;) {
    Vol_PAGEADDR p = Vol_AllocPage(1, nullptr);
    if (p == 0 || PAGE_VOLID(p) != 0) break;
    ASSERT_NE(PAGE_NUMBER(p), 319u);
    ASSERT_FALSE(seen[PAGE_NUMBER(p)]);
    seen[PAGE_NUMBER(p)] = true;
  }
  EXPECT_EQ(Vol_GetRootVol()->free_size, 0u);
  EXPECT_EQ(Vol_AllocPage(8, nullptr), (1u << 24) | 3);
}

TEST_F(VolumeSetTest, RunAtTheVeryEndOfAVolumeIsFound) {
  spec.volumes = {{kRoot, VolType_DATA}};
  write_set(spec);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  for (uint32_t p = 2; p < 311; ++p) Vol_MarkPageUsed(p, 1);
  EXPECT_EQ(Vol_GetRootVol()->free_size, 8u);
  EXPECT_EQ(Vol_AllocPage(8, nullptr), 311u);
}

// First fit over two data volumes, checked step by step against a plain
// model of every page's bit.
TEST_F(VolumeSetTest, AllocationFollowsAFirstFitModel) {
  spec.volumes = {{kRoot, VolType_DATA}, {kData, VolType_DATA}, {kLog, VolType_LOG}};
  write_set(spec);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  std::vector<std::vector<bool>> used(2, std::vector<bool>(320, false));
  for (auto& u : used) u[0] = u[1] = u[319] = true;
  auto model_alloc = [&](int count) -> Vol_PAGEADDR {
    for (uint32_t id = 0; id < 2; ++id) {
      int run = 0;
      for (uint32_t p = 0; p < 320; ++p) {
        run = used[id][p] ? 0 : run + 1;
        if (run == count) {
          for (uint32_t q = p + 1 - count; q <= p; ++q) used[id][q] = true;
          return (id << 24) | (p + 1 - count);
        }
      }
    }
    return 0;
  };
  std::mt19937 rng(7);
  std::vector<std::pair<Vol_PAGEADDR, int>> held;
  for (int step = 0; step < 3000; ++step) {
    if (held.empty() || rng() % 3 != 0) {
      const int count = 1 + static_cast<int>(rng() % 8);
      const Vol_PAGEADDR want = model_alloc(count);
      const Vol_PAGEADDR got = Vol_AllocPage(count, nullptr);
      ASSERT_EQ(got, want) << "step " << step << " count " << count;
      if (got != 0) held.push_back({got, count});
    } else {
      const size_t i = rng() % held.size();
      const auto [page, count] = held[i];
      held.erase(held.begin() + static_cast<long>(i));
      for (int k = 0; k < count; ++k) used[PAGE_VOLID(page)][PAGE_NUMBER(page) + k] = false;
      Vol_FreePage(page, count);
    }
    for (uint32_t id = 0; id < 2; ++id)
      ASSERT_EQ(Vol_GetRootVol()[id].free_size,
                static_cast<uint32_t>(std::count(used[id].begin(), used[id].end(), false)));
  }
  // What was written back is what the next open reads.
  Vol_Sync(Vol_TIO_SYNC);
  close_set();
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  for (uint32_t id = 0; id < 2; ++id) {
    uint32_t bit;
    for (uint32_t p = 0; p < 320; ++p) {
      Vol_FLMEM* fl = Vol_FlistFor(&Vol_GetRootVol()[id], p, &bit);
      ASSERT_EQ(Vol_FlistIsFree(fl, bit) != 0, !used[id][p]) << id << ":" << p;
    }
  }
}

// First fit against a plain model of every page's bit, through every road
// that frees pages or grows a volume: frees at once and at the checkpoint,
// pages marked used, extension up to the maximum, log rebuild, re-init and
// reopening. The lowest free page each volume keeps must never make the
// search miss a run the model finds from page 0.
TEST_F(VolumeSetTest, FirstFitNeverMissesARunThroughFreesExtensionAndReopen) {
  spec.volumes = {{kRoot, VolType_DATA, 320, 16, 480},
                  {kData, VolType_DATA, 320, 16, 400},
                  {kLog, VolType_LOG}};
  write_set(spec);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  struct ModelVolume {
    std::vector<bool> used;
    uint32_t ext_size, max_size;
  };
  std::vector<ModelVolume> model;
  for (const VolumeSpec& v : spec.volumes) {
    model.push_back({std::vector<bool>(v.size, false), v.ext_size, v.max_size});
    model.back().used[0] = model.back().used[1] = model.back().used[319] = true;
  }
  auto free_count = [&](uint32_t id) {
    return static_cast<uint32_t>(std::count(model[id].used.begin(), model[id].used.end(), false));
  };
  auto fit = [&](uint32_t id, int count) -> Vol_PAGEADDR {
    std::vector<bool>& u = model[id].used;
    int run = 0;
    for (uint32_t p = 0; p < u.size(); ++p) {
      run = u[p] ? 0 : run + 1;
      if (run == count) {
        for (uint32_t q = p + 1 - count; q <= p; ++q) u[q] = true;
        return (id << 24) | (p + 1 - count);
      }
    }
    return 0;
  };
  auto model_alloc = [&](const std::vector<uint32_t>& ids, int count) -> Vol_PAGEADDR {
    for (uint32_t id : ids)
      if (free_count(id) >= static_cast<uint32_t>(count))
        if (Vol_PAGEADDR p = fit(id, count)) return p;
    for (uint32_t id : ids) {
      ModelVolume& m = model[id];
      if (m.ext_size == 0 || m.used.size() >= m.max_size) continue;
      m.used.resize(std::min<size_t>(m.used.size() + m.ext_size, m.max_size), false);
      if (Vol_PAGEADDR p = fit(id, count)) return p;
    }
    return 0;
  };
  auto mark = [&](Vol_PAGEADDR page, int count, bool used) {
    for (int k = 0; k < count; ++k) model[PAGE_VOLID(page)].used[PAGE_NUMBER(page) + k] = used;
  };
  const std::vector<uint32_t> data_ids = {0, 1}, log_ids = {2};
  std::mt19937 rng(11);
  std::vector<std::pair<Vol_PAGEADDR, int>> held, queued;
  auto take_held = [&]() {
    const size_t i = rng() % held.size();
    const auto entry = held[i];
    held.erase(held.begin() + static_cast<long>(i));
    return entry;
  };
  LogCapture quiet("V0");
  for (int step = 0; step < 3000; ++step) {
    const unsigned op = rng() % 100;
    if (op < 45 || held.empty()) {
      const bool log = rng() % 4 == 0;
      const int count = 1 + static_cast<int>(rng() % 8);
      const Vol_PAGEADDR want = model_alloc(log ? log_ids : data_ids, count);
      const Vol_PAGEADDR got = Vol_AllocPage(count, log ? Vol_GetTlogAldesc() : nullptr);
      ASSERT_EQ(got, want) << "step " << step << " count " << count << (log ? " log" : "");
      if (got != 0) held.push_back({got, count});
    } else if (op < 85) {
      // Log pages, as in the engine, wait for the checkpoint.
      const auto [page, count] = take_held();
      if (op < 70 && PAGE_VOLID(page) != 2) {
        mark(page, count, false);
        Vol_FreePage(page, count);
      } else {
        queued.push_back({page, count});
        Vol_FreePageDelayed(page, count);
      }
    } else if (op < 91) {
      for (const auto& [page, count] : queued) mark(page, count, false);
      queued.clear();
      Vol_FreeDelayedList(Vol_TakeDelayedFrees());
    } else if (op < 95) {
      const uint32_t id = rng() % 2;
      const uint32_t p = 2 + rng() % (static_cast<uint32_t>(model[id].used.size()) - 2);
      if (model[id].used[p]) continue;
      model[id].used[p] = true;
      Vol_MarkPageUsed((id << 24) | p, 1);
      held.push_back({(id << 24) | p, 1});
    } else if (op < 97) {
      Vol_Sync(Vol_TIO_SYNC);
      ASSERT_EQ(Vol_ReInit(), 0);
    } else if (op < 99) {
      // The queued frees live in memory only: their pages stay used.
      queued.clear();
      Vol_Sync(Vol_TIO_SYNC);
      close_set();
      ASSERT_NE(open_set(paths_of(spec)), nullptr) << "step " << step;
    } else {
      Vol_TlogRebuild();
      std::fill(model[2].used.begin(), model[2].used.end(), false);
      model[2].used[0] = model[2].used[1] = model[2].used[319] = true;
      auto on_log = [](const std::pair<Vol_PAGEADDR, int>& e) { return PAGE_VOLID(e.first) == 2; };
      held.erase(std::remove_if(held.begin(), held.end(), on_log), held.end());
      queued.erase(std::remove_if(queued.begin(), queued.end(), on_log), queued.end());
    }
    for (uint32_t id = 0; id < 3; ++id) {
      ASSERT_EQ(Vol_GetRootVol()[id].curr_size, model[id].used.size()) << "step " << step;
      ASSERT_EQ(Vol_GetRootVol()[id].free_size, free_count(id)) << "step " << step;
    }
  }
}

// A free-list page read again from the file (a utility's repair) may free
// any page: the search starts from the beginning again.
TEST_F(VolumeSetTest, FreeListPageReadAgainIsSearchedFromItsStart) {
  ASSERT_NE(open_default(), nullptr);
  Vol_Sync(Vol_TIO_SYNC);
  for (int i = 0; i < 50; ++i) ASSERT_NE(Vol_AllocPage(2, nullptr), 0u);
  VOLUME* r = Vol_GetRootVol();
  ASSERT_EQ(Vol_ReadFreeDescriptor(r, r->flmem_head), 0);
  // The first pair became the root page and was synced; the rest was not.
  EXPECT_EQ(Vol_AllocPage(1, nullptr), 4u);
}

TEST_F(VolumeSetTest, RootPagesFollowTheFirstAllocationAndAreClearedByFree) {
  ASSERT_NE(open_default(), nullptr);
  const Vol_PAGEADDR first = Vol_AllocPage(2, nullptr);
  EXPECT_EQ(Vol_GetRootVol()->first_page, first);
  EXPECT_EQ(disk_descriptor(kRoot, 0).first_page, first);
  EXPECT_EQ(disk_descriptor(kRoot, 1).first_page, first);
  const Vol_PAGEADDR log_first = Vol_AllocPage(1, Vol_GetTlogAldesc());
  EXPECT_EQ(PAGE_VOLID(log_first), 2u);
  EXPECT_EQ(Vol_GetTlogVol()->first_page, log_first);
  const Vol_PAGEADDR second = Vol_AllocPage(1, nullptr);
  Vol_FreePage(first, 2);
  EXPECT_EQ(Vol_GetRootVol()->first_page, 0u);
  EXPECT_EQ(disk_descriptor(kRoot, 0).first_page, 0u);
  EXPECT_EQ(Vol_AllocPage(1, nullptr), first);
  EXPECT_EQ(Vol_GetRootVol()->first_page, first);
  EXPECT_NE(second, first);
}

TEST_F(VolumeSetTest, DelayedFreesWaitForTheCheckpoint) {
  ASSERT_NE(open_default(), nullptr);
  std::vector<Vol_PAGEADDR> logs, datas;
  for (int i = 0; i < 70; ++i) logs.push_back(Vol_AllocPage(2, Vol_GetTlogAldesc()));
  for (int i = 0; i < 70; ++i) datas.push_back(Vol_AllocPage(1, nullptr));
  const uint32_t log_free = Vol_GetTlogVol()->free_size;
  const uint32_t data_free = Vol_GetRootVol()->free_size;
  for (Vol_PAGEADDR p : logs) Vol_FreePageDelayed(p, 2);
  for (Vol_PAGEADDR p : datas) Vol_FreePageDelayed(p, 1);
  EXPECT_EQ(Vol_DelayedLogPages(), 140u);
  EXPECT_EQ(Vol_GetTlogVol()->free_size, log_free);
  EXPECT_EQ(Vol_AllocPage(1, nullptr), datas.back() + 1);  // nothing freed yet
  Vol_DELAYED_FREE* list = Vol_TakeDelayedFrees();
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list->next, nullptr);  // 140 entries take two blocks
  EXPECT_EQ(Vol_TakeDelayedFrees(), nullptr);
  Vol_FreeDelayedList(list);
  EXPECT_EQ(Vol_DelayedLogPages(), 0u);
  EXPECT_EQ(Vol_GetTlogVol()->free_size, log_free + 140);
  EXPECT_EQ(Vol_GetRootVol()->free_size, data_free + 70 - 1);
}

// Recovery holds the pages its log claims back from its own allocations:
// a page the replay marks used or frees is the replay's from then on, one
// it never claims is free again afterwards, and a page already used or past
// the volume is left as it is.
TEST_F(VolumeSetTest, PagesTheLogClaimsAreHeldBackUntilTheReplayTakesThem) {
  ASSERT_NE(open_default(), nullptr);
  const uint32_t free_before = Vol_GetRootVol()->free_size;
  const Vol_PAGEADDR used = Vol_AllocPage(1, nullptr);
  ASSERT_EQ(used, 2u);
  Vol_ReservePage(used, 1);         // used already: nothing to hold back
  Vol_ReservePage(3, 2);            // claimed, then marked used by the replay
  Vol_ReservePage(5, 1);            // claimed, then freed for the checkpoint
  Vol_ReservePage(6, 1);            // claimed by a record the replay passes over
  // The volume's last page is its free list's; the next is past its end.
  const uint32_t end = Vol_GetRootVol()->curr_size;
  Vol_ReservePage(end - 2, 3);
  EXPECT_EQ(Vol_GetRootVol()->free_size, free_before - 1 - 4 - 1);
  // What the replay allocates meanwhile goes past them.
  EXPECT_EQ(Vol_AllocPage(1, nullptr), 7u);
  Vol_MarkPageUsed(3, 2);
  Vol_FreePageDelayed(5, 1);
  Vol_ReleaseReserved();
  // Pages 6 and end - 2 are free again; 3, 4 and 5 stay used (5 until
  // the checkpoint takes its delayed free).
  EXPECT_EQ(Vol_GetRootVol()->free_size, free_before - 1 - 3 - 1);
  EXPECT_EQ(Vol_AllocPage(1, nullptr), 6u);
  Vol_ReleaseReserved();  // nothing left to release
  Vol_FreeDelayedList(Vol_TakeDelayedFrees());
  EXPECT_EQ(Vol_AllocPage(1, nullptr), 5u);
}

// --- Extension ----------------------------------------------------------------------

TEST_F(VolumeSetTest, VolumesGrowByTheirExtensionSizeUpToTheMaximum) {
  spec.volumes = {{kRoot, VolType_DATA, 320, 100, 500}, {kLog, VolType_LOG}};
  write_set(spec);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  LogCapture log("V2");
  int pages = 0;
  while (Vol_AllocPage(1, nullptr) != 0) ++pages;
  EXPECT_EQ(pages, 500 - 3);
  EXPECT_EQ(Vol_GetRootVol()->curr_size, 500u);
  EXPECT_EQ(Vol_LastError(), VOL_E_NO_SPACE);
  EXPECT_TRUE(log.contains("Note: Volume #0 has been extended by 100 pages, current size is 420 pages"));
  EXPECT_TRUE(log.contains("current size is 500 pages"));
  EXPECT_TRUE(log.contains("Note: Volume #0 has reached maximum size"));
  EXPECT_TRUE(log.contains("No space left in data volume"));
  // The growth is on disk in both copies.
  EXPECT_EQ(disk_descriptor(kRoot, 0).curr_size, 500u);
  EXPECT_EQ(disk_descriptor(kRoot, 1).curr_size, 500u);
  EXPECT_EQ(fs.contents(kRoot).size(), 500u * Vol_PAGESIZE);
  Vol_Sync(Vol_TIO_SYNC);
  close_set();
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_EQ(Vol_GetRootVol()->free_size, 0u);
}

struct ExtendCase {
  const char* name;
  uint32_t size, ext_size;
  bool (*used)(uint32_t page);  // pages 2.. of the volume marked used first
  int count;
  Vol_PAGEADDR page;  // what the allocation gives
  uint32_t size_after, free_after;
};
void PrintTo(const ExtendCase& c, std::ostream* os) { *os << c.name; }

class ExtensionServes : public VolumeSetTest, public ::testing::WithParamInterface<ExtendCase> {};

TEST_P(ExtensionServes, ARequestNoRunCanTake) {
  const ExtendCase& c = GetParam();
  spec.volumes = {{kRoot, VolType_DATA, c.size, c.ext_size}};
  write_set(spec);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  for (uint32_t p = 2; p < c.size; ++p)
    if (p != Vol_DESC_COPY_PAGE && c.used(p)) Vol_MarkPageUsed(p, 1);
  LogCapture log("V2");
  EXPECT_EQ(Vol_AllocPage(c.count, nullptr), c.page);
  EXPECT_TRUE(log.contains("Vol_AllocPage() note: request cannot be satisfied, trying to extend volume"));
  EXPECT_EQ(Vol_GetRootVol()->curr_size, c.size_after);
  EXPECT_EQ(Vol_GetRootVol()->free_size, c.free_after);
  EXPECT_EQ(Vol_CountFreePages(Vol_GetRootVol()), c.free_after);
}

INSTANTIATE_TEST_SUITE_P(
    VolumeSet, ExtensionServes,
    ::testing::Values(
        // Only runs of 7 are free, though free_size is large.
        ExtendCase{"EightPagesWhereOnlyRunsOfSevenAreFree", 320, 64,
                   [](uint32_t p) { return p % 8 == 0; }, 8, 320, 384, 334},
        // An extension smaller than the request joins the free pages at the
        // old end of the volume.
        ExtendCase{"SmallExtensionJoinsTheFreePagesAtTheOldEnd", 400, 4,
                   [](uint32_t p) { return p < 395; }, 8, 395, 404, 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(VolumeSetTest, FullFileSystemStopsExtensionUntilTheVolumeIsReadAgain) {
  spec.volumes = {{kRoot, VolType_DATA, 320, 64}};
  write_set(spec);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  for (uint32_t p = 2; p < 319; ++p) Vol_MarkPageUsed(p, 1);
  fs.set_capacity(fs.contents(kRoot).size() + 10 * Vol_PAGESIZE);
  {
    LogCapture log("V2");
    EXPECT_EQ(Vol_AllocPage(1, nullptr), 320u);
    EXPECT_TRUE(log.contains("Vol_ExtendSingle: Unable to complete volume extension"));
    EXPECT_TRUE(log.contains("has been extended by 10 pages, current size is 330 pages"));
  }
  for (int i = 0; i < 9; ++i) ASSERT_NE(Vol_AllocPage(1, nullptr), 0u);
  {
    LogCapture log("V2");
    EXPECT_EQ(Vol_AllocPage(1, nullptr), 0u);
    EXPECT_EQ(Vol_LastError(), VOL_E_NO_SPACE);
    EXPECT_TRUE(log.contains("Note: Volume #0 could not be extended, file system is full"));
    EXPECT_TRUE(test_flag(Vol_GetRootVol(), Vol_FS_FULL));
  }
  const uint64_t writes = fs.counts(kRoot).writes;
  LogCapture log("V2");
  EXPECT_EQ(Vol_AllocPage(1, nullptr), 0u);
  EXPECT_EQ(fs.counts(kRoot).writes, writes);
  EXPECT_FALSE(log.contains("could not be extended")) << log.text();
  close_set();
  fs.set_capacity(0);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_EQ(Vol_GetRootVol()->curr_size, 330u);
  EXPECT_NE(Vol_AllocPage(1, nullptr), 0u);
}

// A volume that needs a new free-list page to grow, without the memory for
// it: the extension stops the process before it writes anything.
TEST(VolumeSetRealFiles, ExtensionWithoutMemoryForAFreeListPageIsFatal) {
  testsupport::TempDir dir;
  VolumeSetSpec s;
  s.volumes = {{dir.file("root.vol"), VolType_DATA, Vol_FLIST_NUMITEMS, 16}};
  ASSERT_EQ(testsupport::write_volume_set(s), 0);
  ASSERT_NE(open_set(paths_of(s)), nullptr);
  debug_set_stream(stderr);
  EXPECT_DEATH(
      {
        g_fail_nothrow_size = sizeof(Vol_FLMEM);
        Vol_ExtendSingle(Vol_GetRootVol());
      },
      "Vol_ExtendSingle: Memory allocation failed");
  EXPECT_EQ(Vol_GetRootVol()->curr_size, Vol_FLIST_NUMITEMS);
  close_set();
}

// During on-line backup the data files must not change: an extension writes
// nothing to the volume and hands itself to the backup redirection.
TEST_F(VolumeSetTest, ExtensionDuringBackupLeavesTheFileAlone) {
  spec.volumes = {{kRoot, VolType_DATA, 320, 12}, {kLog, VolType_LOG}};
  write_set(spec);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  for (uint32_t p = 2; p < 319; ++p) Vol_MarkPageUsed(p, 1);
  Vol_Sync(Vol_TIO_SYNC);
  Vol_SetFlag(Vol_REDIRECT_PAGES, &Vol_GetRootVol()->header);
  const uint64_t writes = fs.counts(kRoot).writes;
  const size_t size = fs.contents(kRoot).size();
  // The redirection is not built yet and stops there; the file is what counts.
  struct Stopped {};
  panic_set_handler([](const char*, const char*, int) { throw Stopped{}; });
  try {
    Vol_AllocPage(1, nullptr);
  } catch (const Stopped&) {
  }
  panic_set_handler(nullptr);
  EXPECT_EQ(fs.counts(kRoot).writes, writes);
  EXPECT_EQ(fs.contents(kRoot).size(), size);
  EXPECT_EQ(Vol_GetRootVol()->curr_size, 332u);
  Vol_ClearFlag(Vol_REDIRECT_PAGES, &Vol_GetRootVol()->header);
}

struct PowerCase {
  const char* name;
  PowerLoss mode;
  int seeds;  // torn power losses tried at each point
  int sync_mode;
};
void PrintTo(const PowerCase& c, std::ostream* os) { *os << c.name; }

// One operation that writes descriptors or free-list pages, cut by a power
// loss before each of its writes and flushes in turn.
struct CrashOp {
  const char* name;
  std::vector<VolumeSpec> volumes;
  // Runs on the open set before the cut is armed; all it wrote is flushed.
  void (*setup)();
  void (*run)(const std::vector<std::string>& paths);
  // Extra checks of the set opened after the cut.
  void (*check)(const VOLUME* set, FaultFileSystem& fs);
  int min_steps;  // writes and flushes the operation makes at least
  // The set is written with the oldest releases it may have; run opens it.
  bool old_releases = false;
};
void PrintTo(const CrashOp& c, std::ostream* os) { *os << c.name; }

const Vol_PAGEADDR kNoPage = 0;
Vol_PAGEADDR alloc_data(int count) { return Vol_AllocPage(count, nullptr); }
Vol_PAGEADDR alloc_log(int count) { return Vol_AllocPage(count, Vol_GetTlogAldesc()); }

// Rewrites both copies of every descriptor as release 28 (LOG 7), with the
// maps of that release and, for a synced set, its flush flags.
void write_old_releases(const std::vector<std::string>& paths, int sync_mode) {
  for (const std::string& p : paths)
    for (int copy : {0, 1})
      ASSERT_EQ(testsupport::patch_descriptor(p, copy,
                                              [&](VOLUME& v) {
                                                v.release = v.type == VolType_LOG ? 7 : 28;
                                                Vol_SetAllAllocAllowed(&v.standard_aldesc);
                                                Vol_ClearAllAllocAllowed(&v.tlog_aldesc);
                                                Vol_ClearAllAllocAllowed(&v.temp_aldesc);
                                                if (sync_mode)
                                                  Vol_SetFlag(v.type == VolType_LOG ? Vol_LSYNC
                                                                                    : Vol_DSYNC,
                                                              &v.header);
                                              }),
                0);
}

const CrashOp kCrashOps[] = {
    {"Extension",
     {{kRoot, VolType_DATA, 320, 12}},
     [] {
       for (uint32_t p = 2; p < 319; ++p) Vol_MarkPageUsed(p, 1);
     },
     [](const std::vector<std::string>&) { alloc_data(1); },
     [](const VOLUME* set, FaultFileSystem& fs) {
       // At its old or its new size, and a size on disk means its pages are.
       const uint32_t size = set->curr_size;
       EXPECT_TRUE(size == 320 || size == 332) << size;
       EXPECT_GE(fs.contents(kRoot).size(), uint64_t{size} * Vol_PAGESIZE);
     },
     6},
    {"SyncOfAllocationsAndFrees",
     {{kRoot, VolType_DATA}, {kLog, VolType_LOG}},
     nullptr,
     [](const std::vector<std::string>&) {
       const Vol_PAGEADDR first = alloc_data(3);  // the root page: synced at once
       for (int i = 0; i < 5; ++i) alloc_data(1 + i);
       for (int i = 0; i < 4; ++i) alloc_log(2);
       Vol_FreePage(first + 3, 1);
       Vol_Sync(Vol_TIO_SYNC);
     },
     nullptr,
     4},
    {"FreeOfTheRootPage",
     {{kRoot, VolType_DATA}, {kLog, VolType_LOG}},
     [] {
       alloc_data(2);
       alloc_data(4);
     },
     [](const std::vector<std::string>&) { Vol_FreePage(Vol_GetRootVol()->first_page, 2); },
     [](const VOLUME* set, FaultFileSystem&) {
       EXPECT_TRUE(set->first_page == kNoPage || set->first_page == 2u) << set->first_page;
     },
     2},
    {"ConsistentFlagClearedAndSet",
     {{kRoot, VolType_DATA}, {kLog, VolType_LOG}},
     nullptr,
     [](const std::vector<std::string>&) {
       Vol_ClearConsistent();
       Vol_SetConsistent();
     },
     nullptr,
     4},
    {"PropertiesChanged",
     {{kRoot, VolType_DATA}, {kLog, VolType_LOG}},
     nullptr,
     [](const std::vector<std::string>& paths) {
       ASSERT_EQ(Vol_ChangeProperties(paths[0].c_str(), 0, 0, Vol_UNCHANGED, 16, 900), 0);
       Vol_Sync(Vol_TIO_SYNC);
     },
     [](const VOLUME* set, FaultFileSystem&) {
       // Both values were changed at once; copy 0 holds both or neither.
       EXPECT_EQ(set->ext_size == 16, set->max_size == 900);
     },
     2},
    {"LogRebuild",
     {{kRoot, VolType_DATA}, {kLog, VolType_LOG}},
     [] {
       for (int i = 0; i < 10; ++i) alloc_log(3);
     },
     [](const std::vector<std::string>&) { Vol_TlogRebuild(); },
     nullptr,
     2},
    {"ReleaseUpgradeAtOpen",
     {{kRoot, VolType_DATA}, {kData, VolType_DATA}, {kLog, VolType_LOG}},
     nullptr,
     [](const std::vector<std::string>& paths) { ASSERT_NE(open_set(paths), nullptr); },
     [](const VOLUME* set, FaultFileSystem&) {
       EXPECT_TRUE(Vol_IsAllocAllowed(2, &set->tlog_aldesc));
       EXPECT_FALSE(Vol_IsAllocAllowed(2, &set->standard_aldesc));
     },
     3,
     true},
};

const PowerCase kPowerCases[] = {
    {"DropUnflushedSynced", PowerLoss::DropUnflushed, 1, 1},
    {"DropUnflushedUnsynced", PowerLoss::DropUnflushed, 1, 0},
    {"TearUnflushedSynced", PowerLoss::TearUnflushed, 4, 1},
    {"TearUnflushedUnsynced", PowerLoss::TearUnflushed, 4, 0},
    {"TearSectorsSynced", PowerLoss::TearSectors, 4, 1},
    {"TearSectorsUnsynced", PowerLoss::TearSectors, 4, 0},
};

// Writes the operation's set and brings it to the state the cut starts
// from, all of it on disk.
void prepare_set(const CrashOp& op, const PowerCase& c, const VolumeSetSpec& s,
                 const std::vector<std::string>& paths) {
  ASSERT_EQ(testsupport::write_volume_set(s), 0);
  if (op.old_releases) {
    write_old_releases(paths, c.sync_mode);
    return;
  }
  ASSERT_NE(open_set(paths), nullptr);
  ASSERT_EQ(Vol_SetSyncMode(c.sync_mode), 0);
  if (op.setup) op.setup();
  Vol_Sync(Vol_TIO_SYNC);
  for (int id = 0; id < Vol_NumVolumes(); ++id) Vol_GetRootVol()[id].fhandle->datasync();
}

// After the power came back: the set opens with free counts that match the
// bitmaps, passes the operation's checks, can still allocate, and what it
// then writes leaves copies that agree.
void check_after_cut(const CrashOp& op, const std::vector<std::string>& paths,
                     FaultFileSystem& fs, const std::string& at) {
  VOLUME* set = open_set(paths);
  ASSERT_NE(set, nullptr) << at;
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    if (set[id].type == VolType_LOG) continue;
    EXPECT_EQ(set[id].free_size, Vol_CountFreePages(&set[id])) << at << ", volume " << id;
  }
  if (op.check) op.check(set, fs);
  EXPECT_NE(alloc_data(1), kNoPage) << at;
  Vol_Sync(Vol_TIO_SYNC);
  close_set();
  EXPECT_TRUE(copies_agree(kRoot)) << at;
  ASSERT_NE(open_set(paths), nullptr) << at;
  close_set();
}

class PowerLossDuring : public ::testing::TestWithParam<std::tuple<CrashOp, PowerCase>> {};

// The extension and sync cases take one to two minutes each under the
// address sanitizer: the race detector's tree, some tenfold slower again,
// tries every fourth point.
const int kPowerStride = testsupport::sweep_stride(4);

// The power fails before each write and flush of the operation in turn; the
// set opens every time, with a free count that matches the bitmaps, it can
// still allocate, and what it then writes leaves copies that agree.
TEST_P(PowerLossDuring, LeavesASetThatOpens) {
  const auto& [op, c] = GetParam();
  VolumeSetSpec s;
  s.volumes = op.volumes;
  const std::vector<std::string> paths = paths_of(s);
  bool cut = true;
  for (int n = 1; cut; n += kPowerStride) {
    for (int seed = 1; seed <= c.seeds && cut; ++seed) {
      FaultFileSystem fs;
      CrashFileSystem crash(&fs, [&] { fs.lose_power(c.mode, static_cast<uint32_t>(n * 100 + seed)); });
      platform::set_file_system(&crash);
      ASSERT_NO_FATAL_FAILURE(prepare_set(op, c, s, paths));
      crash.arm(n);
      cut = false;
      try {
        op.run(paths);
      } catch (const PowerCut&) {
        cut = true;
      }
      crash.arm(0);
      close_set();
      if (cut) {
        const std::string at = "power lost at write or flush " + std::to_string(n) + ", seed " +
                               std::to_string(seed);
        ASSERT_NO_FATAL_FAILURE(check_after_cut(op, paths, fs, at));
      } else {
        EXPECT_GT(n, op.min_steps);
      }
      platform::set_file_system(nullptr);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    VolumeSet, PowerLossDuring,
    ::testing::Combine(
        ::testing::ValuesIn(kCrashOps),
        ::testing::ValuesIn(kPowerCases)),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) + "_" + std::get<1>(p.param).name;
    });

// The same operations run in a task with the I/O threads up, so their
// flushes are made by the sync thread; the power fails at each write, flush
// or directory change in turn, on whichever thread makes it (the double's
// crash point: the program runs on, the disk no longer changes). The set
// opens every time, as above.
class PowerLossOnIoThreads : public ::testing::TestWithParam<std::tuple<CrashOp, PowerCase>> {};

const CrashOp* g_io_op = nullptr;
const std::vector<std::string>* g_io_paths = nullptr;

TEST_P(PowerLossOnIoThreads, LeavesASetThatOpens) {
  const auto& [op, c] = GetParam();
  VolumeSetSpec s;
  s.volumes = op.volumes;
  const std::vector<std::string> paths = paths_of(s);
  g_io_op = &op;
  g_io_paths = &paths;
  int on_io_threads = 0;
  bool cut = true;
  // Every point: the few writes the I/O threads make are missed by a sample.
  for (int n = 1; cut; ++n) {
    for (int seed = 1; seed <= c.seeds && cut; ++seed) {
      FaultFileSystem fs;
      platform::set_file_system(&fs);
      ASSERT_NO_FATAL_FAILURE(prepare_set(op, c, s, paths));
      fs.crash_at(n, c.mode, static_cast<uint32_t>(n * 100 + seed));
      {
        storage_test::TaskRunner runner;
        ASSERT_EQ(tio_setup(), 0);
        ASSERT_TRUE(runner.run({+[] { g_io_op->run(*g_io_paths); }}));
        tio_cleanup();
      }
      close_set();
      cut = fs.crashed();
      if (cut) {
        if (fs.crash_thread() != std::this_thread::get_id()) ++on_io_threads;
        fs.lose_power(c.mode);
        const std::string at = "power lost at durable operation " + std::to_string(n) +
                               ", seed " + std::to_string(seed);
        ASSERT_NO_FATAL_FAILURE(check_after_cut(op, paths, fs, at));
      } else {
        EXPECT_GT(n, op.min_steps);
      }
      platform::set_file_system(nullptr);
    }
  }
  // A synced set flushes on the sync thread: some cuts fell there.
  if (c.sync_mode == 1) {
    EXPECT_GT(on_io_threads, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    VolumeSet, PowerLossOnIoThreads,
    ::testing::Combine(::testing::ValuesIn(kCrashOps), ::testing::ValuesIn(kPowerCases)),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) + "_" + std::get<1>(p.param).name;
    });

// An extension that needs a new free-list page, on sparse real files, stopped
// at every write and flush in turn (the writes before the stop are kept, as
// after a crash of the process).
TEST(VolumeSetRealFiles, ExtensionWithANewFreeListPageStopsAnywhereAndOpens) {
  testsupport::TempDir dir;
  VolumeSetSpec s;
  s.volumes = {{dir.file("root.vol"), VolType_DATA, Vol_FLIST_NUMITEMS, 16},
               {dir.file("log.vol"), VolType_LOG}};
  const std::vector<std::string> paths = paths_of(s);
  CrashFileSystem crash(platform::file_system());
  for (int n = 1;; ++n) {
    for (const std::string& p : paths) unlink(p.c_str());
    ASSERT_EQ(testsupport::write_volume_set(s), 0);
    platform::set_file_system(&crash);
    ASSERT_NE(open_set(paths), nullptr);
    crash.arm(n);
    bool cut = false;
    uint32_t gained = 0;
    try {
      gained = Vol_ExtendSingle(Vol_GetRootVol());
    } catch (const PowerCut&) {
      cut = true;
    }
    crash.arm(0);
    close_set();
    VOLUME* set = open_set(paths);
    ASSERT_NE(set, nullptr) << "stopped at write or flush " << n;
    if (!cut) {
      EXPECT_EQ(gained, 15u);
      EXPECT_EQ(set->curr_size, Vol_FLIST_NUMITEMS + 16);
      EXPECT_EQ(set->num_flist, 2u);
      EXPECT_EQ(set->flist_tail, Vol_FLIST_NUMITEMS);
      uint32_t bit;
      const Vol_FLMEM* fl = Vol_FlistFor(set, Vol_FLIST_NUMITEMS, &bit);
      EXPECT_FALSE(Vol_FlistIsFree(fl, bit));
    } else {
      EXPECT_TRUE(set->num_flist == 1 || set->num_flist == 2) << n;
      EXPECT_EQ(set->num_flist, Vol_FlistPagesFor(set->curr_size)) << n;
    }
    EXPECT_EQ(set->free_size, Vol_CountFreePages(set)) << n;
    Vol_Sync(Vol_TIO_SYNC);
    close_set();
    platform::set_file_system(nullptr);
    EXPECT_TRUE(copies_agree(paths[0])) << n;
    if (!cut) break;
  }
}

// Syncs and flag changes of other tasks while an extension waits for its
// flush: volume_set_tasks_test.cpp.

// --- Sync modes, consistency, properties, information -----------------------------

TEST_F(VolumeSetTest, SyncModeSetsTheFlushFlagOfEachVolumeKind) {
  ASSERT_NE(open_default(), nullptr);
  ASSERT_EQ(Vol_SetSyncMode(1), 0);
  const VOLUME* t = Vol_GetRootVol();
  for (int id : {0, 1, 3}) EXPECT_TRUE(test_flag(&t[id], Vol_DSYNC)) << id;
  EXPECT_TRUE(test_flag(&t[2], Vol_LSYNC));
  EXPECT_FALSE(test_flag(&t[2], Vol_DSYNC));
  Vol_AllocPage(1, nullptr);
  const uint64_t flushes = fs.total_flushes();
  Vol_Sync(Vol_TIO_SYNC);
  EXPECT_GT(fs.total_flushes(), flushes);
  close_set();
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_TRUE(test_flag(Vol_GetRootVol(), Vol_DSYNC));
  ASSERT_EQ(Vol_SetSyncMode(0), 0);
  EXPECT_FALSE(test_flag(Vol_GetRootVol(), Vol_DSYNC));
  LogCapture log("V0");
  EXPECT_EQ(Vol_SetSyncMode(2), -1);
  EXPECT_TRUE(log.contains("Vol_SetSyncMode() failed: invalid mode"));
}

class ConsistentFlag : public VolumeSetTest, public ::testing::WithParamInterface<int> {};

// Whatever the sync mode, the clean-close flag is on disk when the call
// returns: a power loss right after it keeps it, in both copies.
TEST_P(ConsistentFlag, SurvivesAPowerLossRightAfterItChanged) {
  ASSERT_NE(open_default(), nullptr);
  ASSERT_EQ(Vol_SetSyncMode(GetParam()), 0);
  Vol_Sync(Vol_TIO_SYNC);
  for (bool set : {false, true}) {
    if (set)
      Vol_SetConsistent();
    else
      Vol_ClearConsistent();
    EXPECT_EQ(Vol_IsConsistent(), set ? 1 : 0);
    fs.lose_power(PowerLoss::DropUnflushed);
    close_set();
    for (int copy : {0, 1}) {
      const VOLUME d = disk_descriptor(kRoot, copy);
      EXPECT_EQ(test_flag(&d, Vol_CONSISTENT), set) << "copy " << copy << (set ? ", set" : ", cleared");
    }
    ASSERT_NE(open_set(paths_of(spec)), nullptr);
    EXPECT_EQ(Vol_IsConsistent(), set ? 1 : 0);
  }
}

INSTANTIATE_TEST_SUITE_P(VolumeSet, ConsistentFlag, ::testing::Values(0, 1),
                         [](const auto& p) { return p.param ? "Synced" : "Unsynced"; });

TEST_F(VolumeSetTest, PropertiesChangeOnlyForAnExactPathAndInRange) {
  ASSERT_NE(open_default(), nullptr);
  struct Case {
    const char* path;
    uint32_t mask, values, size, ext, max;
    int error;
    const char* message;
  };
  const uint32_t U = Vol_UNCHANGED;
  const Case cases[] = {
      {"/v/DATA1.vol", 0, 0, U, 16, U, 5,
       "Vol_ChangeProperties() failed: volume file not in volume set, path=\"/v/DATA1.vol\""},
      {nullptr, 0, 0, 400, U, U, 5,
       "volume file not specified - required to change size"},
      {nullptr, 0, 0, U, 16, U, 5,
       "volume file not specified - required to change extension size"},
      {nullptr, 0, 0, U, U, 900, 5,
       "volume file not specified - required to change maximum size"},
      {"/v/data1.vol", 0, 0, 100, U, U, 6, "size (100) is out of range"},
      {"/v/data1.vol", 0, 0, U, 1, U, 6, "ext_size (1) is out of range"},
      {"/v/data1.vol", 0, 0, U, U, 300, 6, "max_size (300) is out of range"},
      {"/v/data1.vol", 8, 8, U, U, U, 5, "inconsistent flags: 00000008/00000008"},
      {"/v/data1.vol", 4, 1, U, U, U, 5, "inconsistent flags: 00000004/00000001"},
  };
  for (const Case& c : cases) {
    LogCapture log("V0");
    EXPECT_EQ(Vol_ChangeProperties(c.path, c.mask, c.values, c.size, c.ext, c.max), -1)
        << c.message;
    EXPECT_EQ(Vol_LastError(), c.error) << c.message;
    EXPECT_TRUE(log.contains(c.message)) << log.text();
  }
  VOLUME* data = &Vol_GetRootVol()[1];
  EXPECT_EQ(data->ext_size, 0u);
  LogCapture log("V1");
  ASSERT_EQ(Vol_ChangeProperties(kData.c_str(), 4, 4, 1000, 32, 900), 0);
  EXPECT_EQ(data->ext_size, 32u);
  EXPECT_EQ(data->max_size, 900u);
  EXPECT_EQ(data->curr_size, 320u);  // the size is checked, not applied
  EXPECT_TRUE(test_flag(data, Vol_USEVIO));
  EXPECT_TRUE(log.contains("Note: Volume extension size is set to 32 pages, volume #1 (/v/data1.vol)"));
  EXPECT_TRUE(log.contains("Note: Volume maximum size is set to 900 pages, volume #1 (/v/data1.vol)"));
  ASSERT_EQ(Vol_ChangeProperties(kData.c_str(), 0, 0, U, 0, 0), 0);
  EXPECT_TRUE(log.contains("Note: Volume extension size is reset (not extendable), volume #1"));
  EXPECT_TRUE(log.contains("Note: Volume maximum size is reset (infinite), volume #1"));
}

TEST_F(VolumeSetTest, InformationRecordsSumEveryVolumeCounted) {
  spec = four_volumes();
  spec.volumes[1].max_size = 1000;
  write_set(spec);
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  std::vector<uint8_t> page(Vol_PAGESIZE);
  Vol_ReadPage(5, page.data(), Vol_PAGESIZE);
  Vol_ReadPage((1u << 24) | 5, page.data(), Vol_PAGESIZE);
  Vol_ReadPage((1u << 24) | 6, page.data(), Vol_PAGESIZE);
  Vol_WritePage((1u << 24) | 6, page.data(), Vol_PAGESIZE);
  const Vol_PAGEADDR first = Vol_AllocPage(1, nullptr);
  Vol_INFO data;
  Vol_GetDataInfo(&data);
  EXPECT_EQ(data.vclass, 0u);
  EXPECT_EQ(data.page_size, Vol_PAGESIZE);
  EXPECT_EQ(data.curr_size, 640u);
  EXPECT_EQ(data.capacity, 1320u);
  EXPECT_EQ(data.free_size, 317u * 2 - 1);
  EXPECT_EQ(data.root_page, first);
  EXPECT_EQ(data.read_count, 3u);
  EXPECT_EQ(data.write_count, Vol_GetRootVol()[0].write_count + 1);
  EXPECT_EQ(data.io_count, data.read_count + data.write_count);
  Vol_INFO log;
  Vol_GetLogInfo(&log);
  EXPECT_EQ(log.vclass, 1u);
  EXPECT_EQ(log.curr_size, 320u);
  Vol_XINFO x;
  EXPECT_EQ(Vol_GetVolumeInfo(-1, &x), -1);
  EXPECT_EQ(Vol_GetVolumeInfo(4, &x), -1);
  ASSERT_EQ(Vol_GetVolumeInfo(1, &x), 0);
  EXPECT_EQ(x.volume_id, 1u);
  EXPECT_STREQ(x.path, kData.c_str());
  EXPECT_EQ(x.read_count, 2u);
  EXPECT_EQ(x.max_size, 1000u);
}

TEST_F(VolumeSetTest, LogRebuildEmptiesEveryLogVolume) {
  ASSERT_NE(open_default(), nullptr);
  for (int i = 0; i < 20; ++i) ASSERT_NE(Vol_AllocPage(3, Vol_GetTlogAldesc()), 0u);
  const Vol_PAGEADDR kept = Vol_AllocPage(1, Vol_GetTlogAldesc());
  Vol_FreePageDelayed(kept, 1);
  LogCapture log("V2");
  Vol_TlogRebuild();
  EXPECT_TRUE(log.contains("rebuilding log volume (2: /v/log.vol)"));
  EXPECT_EQ(Vol_GetTlogVol()->first_page, 0u);
  EXPECT_EQ(Vol_GetTlogVol()->free_size, 317u);
  EXPECT_EQ(Vol_DelayedLogPages(), 0u);
  // A page of the old log handed out again is not freed by the old queue.
  const Vol_PAGEADDR again = Vol_AllocPage(1, Vol_GetTlogAldesc());
  EXPECT_EQ(again, kept - 60);
  Vol_FreeDelayedList(Vol_TakeDelayedFrees());
  EXPECT_EQ(Vol_GetTlogVol()->free_size, 316u);
  close_set();
  ASSERT_NE(open_set(paths_of(spec)), nullptr);
  EXPECT_EQ(Vol_GetTlogVol()->free_size, 316u);
}

TEST_F(VolumeSetTest, ReInitReadsTheFreeSpaceAgain) {
  ASSERT_NE(open_default(), nullptr);
  for (int i = 0; i < 10; ++i) Vol_AllocPage(4, nullptr);
  Vol_Sync(Vol_TIO_SYNC);
  int events = 0;
  static int* seen;
  seen = &events;
  Vol_SetCallback(+[](int event) {
    if (event == Vol_EVENT_REINIT) ++*seen;
  });
  ASSERT_EQ(Vol_ReInit(), 0);
  EXPECT_EQ(events, 1);
  EXPECT_EQ(Vol_GetRootVol()->free_size, 317u - 40);
  EXPECT_EQ(Vol_AllocPage(1, nullptr), 42u);
}

TEST_F(VolumeSetTest, CloseTellsTheCallbackAndReleasesTheFiles) {
  ASSERT_NE(open_default(), nullptr);
  static std::vector<int> events;
  events.clear();
  EXPECT_EQ(Vol_SetCallback(+[](int event) { events.push_back(event); }), nullptr);
  Vol_Sync(Vol_TIO_SYNC);
  Vol_Close();
  EXPECT_EQ(events, (std::vector<int>{Vol_EVENT_SYNC, Vol_EVENT_CLOSE}));
  Vol_Free();
  EXPECT_EQ(Vol_GetRootVol(), nullptr);
  EXPECT_EQ(Vol_GetTlogVol(), nullptr);
  for (const std::string& p : paths_of(spec)) {
    platform::File* f = nullptr;
    ASSERT_EQ(platform::file_open(p.c_str(), platform::FILE_WRITE, &f), 0) << p;
    platform::file_close(f);
  }
}


// --- Read-only opening (the dump tool) ----------------------------------------------

// Every byte of every file of the set.
std::vector<std::string> file_images(const std::vector<std::string>& paths) {
  std::vector<std::string> images;
  for (const std::string& p : paths) {
    platform::File* f = nullptr;
    EXPECT_EQ(platform::file_open(p.c_str(), platform::FILE_READ, &f), 0) << p;
    platform::FileInfo info;
    EXPECT_EQ(f->info(&info), 0);
    std::string bytes(info.size, '\0');
    EXPECT_EQ(f->read_at(bytes.data(), bytes.size(), 0), 0);
    platform::file_close(f);
    images.push_back(bytes);
  }
  return images;
}

// Read-only mode keeps what opening would repair or upgrade in memory:
// an older release, copies left apart, a set not closed cleanly.
TEST_F(VolumeSetTest, ReadOnlyOpenKeepsUpgradesAndRepairsInMemory) {
  spec = four_volumes();
  spec.consistent = false;
  write_set(spec);
  for (const std::string& p : paths_of(spec))
    ASSERT_EQ(testsupport::patch_descriptor(p, 0,
                                            [](VOLUME& v) {
                                              v.release = v.type == VolType_LOG ? 7 : 29;
                                            }),
              0);
  const std::vector<std::string> before = file_images(paths_of(spec));
  Vol_SetReadOnly(1);
  VOLUME* set = open_set(paths_of(spec), 1);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->release, 30u);
  EXPECT_TRUE(Vol_IsAllocAllowed(3, &set->temp_aldesc));
  // A writer is kept off while the set is looked at; another reader is not.
  platform::File* f = nullptr;
  EXPECT_EQ(platform::file_open(kRoot.c_str(), platform::FILE_WRITE, &f), EBUSY);
  close_set();
  Vol_SetReadOnly(0);
  EXPECT_EQ(file_images(paths_of(spec)), before);
}

TEST(VolumeSetRealFiles, ReadOnlySetKeepsWritersOffAndIsRefusedWhileOneWrites) {
  testsupport::TempDir dir;
  VolumeSetSpec s;
  s.volumes = {{dir.file("root.vol"), VolType_DATA}, {dir.file("log.vol"), VolType_LOG}};
  ASSERT_EQ(testsupport::write_volume_set(s), 0);
  Vol_SetReadOnly(1);
  ASSERT_NE(open_set(paths_of(s)), nullptr);
  platform::File* f = nullptr;
  EXPECT_EQ(platform::file_open(s.volumes[1].path.c_str(), platform::FILE_WRITE, &f), EBUSY);
  ASSERT_EQ(platform::file_open(s.volumes[1].path.c_str(),
                                platform::FILE_READ | platform::FILE_SHARED, &f),
            0);
  platform::file_close(f);
  close_set();
  Vol_SetReadOnly(0);
  ASSERT_NE(open_set(paths_of(s)), nullptr);
  EXPECT_EQ(platform::file_open(s.volumes[0].path.c_str(),
                                platform::FILE_READ | platform::FILE_SHARED, &f),
            EBUSY);
  close_set();
}
}  // namespace
