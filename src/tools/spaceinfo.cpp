// spaceinfo.cpp - the environment dump tool: prints what a volume set (or
// one volume file) holds without changing it.
//
// The files are opened read-only under a shared lock, so no writer opens
// them meanwhile; what opening would repair or upgrade stays in memory, no
// recovery runs, and nodes are inspected without their first-open work.
//
// Context: one thread, no task kernel; every transfer blocks it.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error_status.h"
#include "storage/buffer_cache.h"
#include "storage/fixrec.h"
#include "storage/node.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"
#include "tools/space_info.h"
#include "tools/util_frame.h"

namespace {

const char* const kUsage[] = {" -d flags   - debug flags\n",
                              " -c cfg     - configuration file name\n",
                              " -f file    - volume file name\n",
                              " -b size    - Buffer cache size (MB)\n",
                              " -v {pn}    - dump options:\n",
                              "              p - volume parameters\n",
                              "              n - nodes\n",
                              nullptr};

const UtilTool kTool = {"spaceinfo", "SPACEINFO", "d:b:v:c:f:", kUsage, UtilOperand::None, false};

constexpr int kDefaultCachePages = 128;

struct Options {
  bool constants = false;  // c
  bool nodes = false;      // n
  bool params = false;     // p
  bool records = false;    // r
  bool any = false;        // some -v letter given
  const char* file = nullptr;
  uint32_t cache_pages = kDefaultCachePages;
};

int option(int c, const char* value, void* context) {
  auto* o = static_cast<Options*>(context);
  switch (c) {
    case 'v':
      // Letters without case; others are ignored.
      for (const char* p = value; *p != '\0'; ++p) {
        switch (tolower(static_cast<unsigned char>(*p))) {
          case 'c': o->constants = o->any = true; break;
          case 'n': o->nodes = o->any = true; break;
          case 'p': o->params = o->any = true; break;
          case 'r': o->records = o->any = true; break;
          default: break;
        }
      }
      return 0;
    case 'f':
      o->file = value;
      return 0;
    case 'b': {
      uint32_t pages = 0;
      if (util_parse_size(value, &pages) != 0) return util_bad_size(c, value);
      o->cache_pages = pages != 0 ? pages : kDefaultCachePages;  // 0: the default
      return 0;
    }
    default:
      return -1;
  }
}

void print_volume(const VOLUME* vol, const Options& o) {
  SpaceInfo_PrintVolume(vol, o.any);
  if (o.params) SpaceInfo_PrintParameters(vol);
}

int dump_file(const Options& o) {
  VOLUME* vol = Vol_OpenSingle(o.file);
  if (vol == nullptr) {
    util_failure(("Unable to open volume " + std::string(o.file) + "\n").c_str());
    return 1;
  }
  if (o.constants) SpaceInfo_PrintConstants();
  if (!o.any) {
    SpaceInfo_PrintListHeader();
    SpaceInfo_PrintListLine(vol);
    SpaceInfo_PrintTableHeader();
  }
  print_volume(vol, o);
  if (o.nodes || o.records) {
    fflush(stdout);
    fputs("Nodes and records need the whole volume set: -v n and -v r are skipped with -f\n",
          stderr);
  }
  Vol_FreeSingle(vol);
  return 0;
}

void close_set() {
  Vol_Close();
  Vol_Free();
  buf_Exit();
}

int start_failed(const char* message) {
  util_failure(message);
  close_set();
  return 1;
}

int dump_set(const CfgRecord* cfg, const Options& o) {
  if (util_open_set(cfg, 0) == nullptr) {
    util_failure("Unable to open root volume\n");
    return 1;
  }
  if (o.constants) SpaceInfo_PrintConstants();
  const VOLUME* table = Vol_GetRootVol();
  const int count = Vol_NumVolumes();
  auto open = [&](int id) { return table[id].fhandle != nullptr; };
  if (!o.any) {
    SpaceInfo_PrintListHeader();
    for (int id = 0; id < count; ++id)
      if (open(id)) SpaceInfo_PrintListLine(&table[id]);
    SpaceInfo_PrintTableHeader();
  }
  for (int id = 0; id < count; ++id)
    if (open(id)) print_volume(&table[id], o);
  fflush(stdout);
  const int pages = static_cast<int>(o.cache_pages);
  if (buf_Init(pages, pages) != 0) return start_failed("Failed to initialize buffer cache\n");
  if (Tlog_Init() != 0) return start_failed("Failed to initialize transaction logging\n");
  if (FixRec_Init() != 0)
    return start_failed("Failed to initialize fixed-size record subsystem\n");
  int status = 0;
  if (o.nodes && SpaceInfo_PrintNodes() != 0) status = 1;
  if (status == 0 && o.records && SpaceInfo_PrintRecords() != 0) status = 1;
  fflush(stdout);
  close_set();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  UtilArgs args;
  if (int status = util_begin(kTool, argc, argv, option, &o, &args); status != kUtilContinue)
    return status;
  // Nothing of the environment is changed: files are shared for reading,
  // and nodes are looked at, never started.
  Vol_SetReadOnly(1);
  Node_SetInspectOnly(1);
  if (o.file != nullptr) return dump_file(o);
  CfgRecord* cfg = util_read_config(args, false);
  if (cfg == nullptr) return 1;
  int status = 1;
  if (util_has_volumes(cfg)) status = dump_set(cfg, o);
  FreeConfig(cfg);
  return status;
}
