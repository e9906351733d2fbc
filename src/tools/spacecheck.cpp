// spacecheck.cpp - the consistency check tool: the command line, the
// configuration, and the check (space_check.h) with its lines on standard
// output, questions on standard error and answers from standard input.
//
// Context: one thread, no task kernel; every transfer blocks it.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/space_check.h"
#include "tools/util_frame.h"

namespace {

const char* const kUsage[] = {
    "usage: %s [options]\n",
    "options:\n",
    " -d flags   - debug flags\n",
    " -c cfg     - configuration file name\n",
    " -b size    - Buffer cache size (MB)\n\n",
    "write options:\n",
    " -w         - Allow write\n",
    " -a         - Automatically fix minor inconsistencies\n",
    " -y         - Answer yes to all questions\n",
    "\n",
    "Please Note: Enabling write and answering 'yes' to non-trivial\n",
    "questions may cause data loss and could even result in additional\n",
    "data corruption.\n",
    "Unless you know what you're doing, you should consider to\n",
    "recover the database from the backup.\n",
    "\n",
    "exit status: 0 nothing found, 3 problems reported, 1 check not possible\n",
    nullptr};

const UtilTool kTool = {"spacecheck", "spacecheck", "d:b:vc:way", kUsage, UtilOperand::None,
                        false};

struct Options {
  SpaceCheck_OPTIONS check;
  bool cache_given = false;
  uint32_t cache_mb = 0;
};

int option(int c, const char* value, void* context) {
  Options* o = static_cast<Options*>(context);
  switch (c) {
    case 'w':
      o->check.write = true;
      return 0;
    case 'a':
      o->check.autofix = true;
      return 0;
    case 'y':
      o->check.yes = true;
      return 0;
    case 'b': {
      uint32_t pages = 0;
      if (util_parse_size(value, &pages) != 0) return util_bad_size(c, value);
      o->cache_given = true;
      o->cache_mb = pages / 128;
      return 0;
    }
    default:
      return -1;
  }
}

int run(const UtilArgs& args, const CfgRecord* cfg, void* context) {
  Options* o = static_cast<Options*>(context);
  SpaceCheck_OPTIONS opt = o->check;
  opt.verbose = args.verbose_level;
  opt.sync_mode = cfg->server->sync_mode;
  if (o->cache_given)
    opt.cache_pages = static_cast<uint32_t>(
        (o->cache_mb != 0 ? o->cache_mb : static_cast<uint32_t>(cfg->limits->buffer_cache)) * 128);
  std::vector<std::string> paths;
  for (int i = 0; i < cfg->volumes->count; ++i) paths.emplace_back(cfg->volumes->items[i].value);
  SpaceCheck_IO io;
  io.out = [](const std::string& s) {
    fputs(s.c_str(), stdout);
    fflush(stdout);
  };
  io.err = [](const std::string& s) {
    fputs(s.c_str(), stderr);
    fflush(stderr);
  };
  io.read_line = [](std::string* line) {
    line->clear();
    for (;;) {
      const int ch = fgetc(stdin);
      if (ch == EOF) return !ferror(stdin) && !line->empty();
      if (ch == '\n') return true;
      line->push_back(static_cast<char>(ch));
    }
  };
  return SpaceCheck_Run(paths, opt, io, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  return util_main(kTool, argc, argv, option, &o, UtilConfig::NeedVolumes, run);
}
