// spacenew.cpp - the environment creation tool: a new root volume with its
// system pool and server catalog, recorded as Root in the Volumes section
// of the configuration when that section is empty.
//
// Context: one thread, no task kernel; every transfer blocks it.
#include <cstdio>
#include <string>

#include "base/error_status.h"
#include "platform/file.h"
#include "storage/volume_format.h"
#include "tools/cfg_writer.h"
#include "tools/env_create.h"
#include "tools/util_frame.h"

namespace {

const UtilTool kTool = {"spacenew", "SPACENEW", "vd:c:e:m:s:", kUtilSizeUsage, UtilOperand::Optional,
                        true};

int run(const UtilArgs& args, const CfgRecord* cfg, void* context) {
  const UtilSizes& sizes = *static_cast<const UtilSizes*>(context);
  const CfgItemList* vols = cfg->volumes;
  if (vols->count > 1) {
    util_config_abort(cfg, "contains unexpected volume definitions");
    return 1;
  }
  std::string path;
  if (args.operand == nullptr) {
    if (vols->count == 0) {
      fputs("No volume file name specified on command line.\n", stderr);
      util_config_abort(cfg, "contains no volume name");
      return 1;
    }
    path = vols->items[0].value;
    printf("Using volume name %s\n", path.c_str());
  } else {
    if (!util_absolute_path(args.operand, &path)) {
      fprintf(stderr, "Unable to determine the current directory\n");
      return 1;
    }
    // File names are compared as the file system does: with case.
    if (vols->count == 1 && path != vols->items[0].value) {
      util_config_abort(cfg, "contains conflicting volume definition");
      return 1;
    }
  }
  if (!util_volume_name_ok(path)) {
    util_usage(kTool);
    return 2;
  }
  EnvCreateSpec spec;
  spec.path = path.c_str();
  spec.size = sizes.size;
  spec.ext_size = sizes.ext_size;
  spec.max_size = sizes.max_size;
  spec.sync_mode = cfg->server->sync_mode;
  spec.verbose = args.verbose;
  util_raise_initial_size(&spec.size);
  if (Env_Create(spec) != 0) return 1;
  if (util_volume_hook(path.c_str()) != 0) {
    fputs("Failed to create database root volume\n", stderr);
    platform::file_remove(path.c_str());
    platform::file_sync_parent(path.c_str());
    return 1;
  }
  if (vols->count == 0 && cfg_set_key("Volumes", "Root", path.c_str(), cfg->path) != 1)
    util_print_manual_update(cfg->path, "Root = " + path + "\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  UtilSizes sizes;
  return util_main(kTool, argc, argv, util_size_option, &sizes, UtilConfig::MayBeMissing, run);
}
