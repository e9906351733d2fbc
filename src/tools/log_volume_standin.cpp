// log_volume_standin.cpp - stand-in for "spacegrow -t log" until spacegrow
// is built: adds a LOG volume to the environment of the configuration
// through the same creation calls (Vol_CreateExtent) and records it in the
// Volumes section as spacegrow names it ("Log%02d", volume id + 1). The
// README's run command uses it for the default environment; spacegrow
// replaces it (see README, "Not yet built").
//
// Context: one thread, no task kernel; every transfer blocks it.
#include <cstdio>
#include <string>
#include <vector>

#include "storage/volume_format.h"
#include "tools/cfg_writer.h"
#include "tools/env_create.h"
#include "tools/util_frame.h"

namespace {

const UtilTool kTool = {"log_volume_standin", "LOG VOLUME", "vd:c:e:m:s:", kUtilSizeUsage,
                        UtilOperand::Required, true};

int run(const UtilArgs& args, const CfgRecord* cfg, void* context) {
  UtilSizes sizes = *static_cast<const UtilSizes*>(context);
  std::string path;
  if (!util_absolute_path(args.operand, &path)) {
    fprintf(stderr, "Unable to determine the current directory\n");
    return 1;
  }
  if (!util_volume_name_ok(path)) {
    util_usage(kTool);
    return 2;
  }
  std::vector<const char*> paths;
  for (int i = 0; i < cfg->volumes->count; ++i) {
    if (path == cfg->volumes->items[i].value) {
      util_config_abort(cfg, "contains conflicting volume definition");
      return 1;
    }
    paths.push_back(cfg->volumes->items[i].value);
  }
  if (sizes.size < Vol_MINPAGES) sizes.size = Vol_MINPAGES;
  util_progress(args, "Creating extension volume %s\n", path.c_str());
  const int id = Env_AddLogVolume(static_cast<int>(paths.size()), paths.data(), path.c_str(),
                                  sizes.size, sizes.ext_size, sizes.max_size);
  if (id < 0) return 1;
  char key[16];
  snprintf(key, sizeof key, "Log%02d", id + 1);
  if (cfg_set_key("Volumes", key, path.c_str(), cfg->path) != 1)
    fprintf(stderr,
            "Unable to add volume file to the configuration file.\n"
            "Please update the section [Volumes] of the configuration file\n"
            "%s by adding:\n%s = %s\n",
            cfg->path, key, path.c_str());
  util_progress(args, "done.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  UtilSizes sizes;
  return util_main(kTool, argc, argv, util_size_option, &sizes, UtilConfig::NeedVolumes, run);
}
