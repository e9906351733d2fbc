// spacetune.cpp - changes the extension size, the maximum size and the
// USEVIO flag of one configured volume.
//
// Context: one thread, no task kernel; every transfer blocks it.
#include <strings.h>

#include <cstdio>
#include <vector>

#include "storage/volume_format.h"
#include "storage/volume_set.h"
#include "tools/grow_tune.h"
#include "tools/util_frame.h"

namespace {

const char* const kUsage[] = {" -e sz     - Extension size\n", " -m sz     - Max volume size\n",
                              nullptr};
const UtilTool kTool = {"spacetune", "SPACETUNE", "vd:c:e:m:f:", kUsage, UtilOperand::Required,
                        true};

struct Options {
  uint32_t ext_size = Vol_UNCHANGED;
  uint32_t max_size = Vol_UNCHANGED;
  uint32_t flag_mask = 0;
  uint32_t flag_values = 0;
};

int option(int c, const char* value, void* context) {
  auto* o = static_cast<Options*>(context);
  const uint32_t usevio = 1u << Vol_USEVIO;
  if (c == 'f') {
    if (strcasecmp(value, "VIO") == 0) {
      o->flag_mask = usevio;
      o->flag_values = usevio;
    } else if (strcasecmp(value, "NoVIO") == 0) {
      o->flag_mask = usevio;
      o->flag_values = 0;
    } else {
      fprintf(stderr, "%s: Unknown volume flag\n", value);
      return -1;
    }
    return 0;
  }
  uint32_t* field = c == 'e' ? &o->ext_size : c == 'm' ? &o->max_size : nullptr;
  if (field == nullptr) return -1;
  if (util_parse_size(value, field) != 0) return util_bad_size(c, value);
  return 0;
}

int run(const UtilArgs& args, const CfgRecord* cfg, void* context) {
  const Options& o = *static_cast<const Options*>(context);
  std::vector<const char*> paths;
  TuneSpec spec;
  Grow_SetTarget(args, cfg, &paths, &spec);
  spec.ext_size = o.ext_size;
  spec.max_size = o.max_size;
  spec.flag_mask = o.flag_mask;
  spec.flag_values = o.flag_values;
  return Tune_Run(spec);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  return util_main(kTool, argc, argv, option, &options, UtilConfig::NeedVolumes, run);
}
