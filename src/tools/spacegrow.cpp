// spacegrow.cpp - adds a DATA, LOG or TEMP volume to an environment and
// lists every volume of the set in the Volumes section of the
// configuration.
//
// Context: one thread, no task kernel; every transfer blocks it.
#include <strings.h>

#include <cstdio>
#include <vector>

#include "storage/volume_format.h"
#include "tools/grow_tune.h"
#include "tools/util_frame.h"

namespace {

const char* const kUsage[] = {" -t type   - Volume type (DATA, LOG)\n",
                              " -s sz     - Initial size\n", " -e sz     - Extension size\n",
                              " -m sz     - Max volume size\n", nullptr};
const UtilTool kTool = {"spacegrow", "SPACEGROW", "vd:c:e:m:s:ft:", kUsage, UtilOperand::Required,
                        true};

struct Options {
  UtilSizes sizes;
  uint32_t type = VolType_DATA;
  int force = 0;
};

int option(int c, const char* value, void* context) {
  auto* o = static_cast<Options*>(context);
  if (c == 'f') {
    o->force = 1;
    return 0;
  }
  if (c == 't') {
    if (strcasecmp(value, "Data") == 0)
      o->type = VolType_DATA;
    else if (strcasecmp(value, "Log") == 0)
      o->type = VolType_LOG;
    else if (strcasecmp(value, "Temp") == 0)
      o->type = VolType_TEMP;
    else {
      fprintf(stderr, "%s: Unknown volume type\n", value);
      return -1;
    }
    return 0;
  }
  return util_size_option(c, value, &o->sizes);
}

int run(const UtilArgs& args, const CfgRecord* cfg, void* context) {
  const Options& o = *static_cast<const Options*>(context);
  std::vector<const char*> paths;
  GrowSpec spec;
  Grow_SetTarget(args, cfg, &paths, &spec);
  spec.type = o.type;
  spec.size = o.sizes.size;
  spec.ext_size = o.sizes.ext_size;
  spec.max_size = o.sizes.max_size;
  spec.force = o.force;
  const int status = Grow_Run(spec);
  if (status == 2) util_usage(kTool);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  return util_main(kTool, argc, argv, option, &options, UtilConfig::NeedVolumes, run);
}
