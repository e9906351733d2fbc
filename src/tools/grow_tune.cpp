// grow_tune.cpp - adding and tuning volumes (see grow_tune.h).
//
// Context: one thread without a task kernel; file transfers block it.
#include "tools/grow_tune.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/error_status.h"
#include "base/panic.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "tools/cfg_writer.h"
#include "tools/util_frame.h"
#include "tools/volume_create.h"

namespace {

void config_abort(const char* config_path, const char* what) {
  fprintf(stderr, "Configuration file %s\n", config_path != nullptr ? config_path : "");
  fprintf(stderr, "%s - aborted\n", what);
}

// The configured path that names the same file as absolute (both made
// absolute, compared exactly), or none.
const char* configured_as(int count, const char* const* paths, const std::string& absolute) {
  for (int i = 0; i < count; ++i) {
    std::string p;
    if (util_absolute_path(paths[i], &p) && p == absolute) return paths[i];
  }
  return nullptr;
}

// The Volumes lines of the open set: the root as "Root", the others by
// type numbered id + 1; a volume whose file is not open takes the
// configured paths no open volume claims, in order.
std::string volume_lines(int count, const char* const* paths) {
  std::vector<const char*> unclaimed;
  for (int i = 0; i < count; ++i) {
    bool claimed = false;
    for (int id = 0; id < Vol_NumVolumes(); ++id) {
      const VOLUME* v = &Vol_GetRootVol()[id];
      if (v->fhandle != nullptr && strcmp(v->path, paths[i]) == 0) claimed = true;
    }
    if (!claimed) unclaimed.push_back(paths[i]);
  }
  size_t next_unclaimed = 0;
  std::string lines;
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    Vol_XINFO info;
    if (Vol_GetVolumeInfo(id, &info) != 0) continue;
    const char* path = info.path;
    if (path == nullptr || path[0] == '\0')
      path = next_unclaimed < unclaimed.size() ? unclaimed[next_unclaimed++] : nullptr;
    if (path == nullptr) {
      ZENT_ASSERT(info.type != VolType_DATA && "inconsistent volume info");
      continue;  // a LOG or TEMP volume the set opens without
    }
    char name[16];
    if (id == 0)
      snprintf(name, sizeof name, "Root");
    else
      snprintf(name, sizeof name, "%s%02d",
               info.type == VolType_LOG    ? "Log"
               : info.type == VolType_TEMP ? "Temp"
                                           : "Vol",
               id + 1);
    lines += std::string(name) + " = " + path + "\n";
  }
  return lines;
}

// Opens the set, refusing one left in on-line backup. 0, or 1 after the
// messages (nothing open then).
int open_set(int count, const char* const* paths, int force, int sync_mode, bool verbose) {
  if (verbose) {
    fputs("Opening root volume\n", stdout);
    fflush(stdout);
  }
  if (Vol_Open(count, paths, force) == nullptr) {
    util_failure("Unable to open root volume\n");
    return 1;
  }
  Vol_SetSyncMode(sync_mode);
  if (util_refuse_backup_mode()) {
    Vol_Close();
    Vol_Free();
    return 1;
  }
  return 0;
}

void progress(bool verbose, const char* text) {
  if (!verbose) return;
  fputs(text, stdout);
  fflush(stdout);
}

}  // namespace

void Grow_SetTarget(const UtilArgs& args, const CfgRecord* cfg, std::vector<const char*>* paths,
                    VolumeTarget* target) {
  paths->clear();
  for (int i = 0; i < cfg->volumes->count; ++i) paths->push_back(cfg->volumes->items[i].value);
  target->config_path = cfg->path;
  target->count = static_cast<int>(paths->size());
  target->paths = paths->data();
  target->operand = args.operand;
  target->sync_mode = cfg->server->sync_mode;
  target->verbose = args.verbose;
}

int Grow_Run(const GrowSpec& spec, std::string* lines_out) {
  std::string path;
  if (!util_absolute_path(spec.operand, &path)) {
    fputs("Unable to determine the current directory\n", stderr);
    return 1;
  }
  if (!util_volume_name_ok(path)) return 2;
  uint32_t size = spec.size;
  util_raise_initial_size(&size);
  if (open_set(spec.count, spec.paths, spec.force, spec.sync_mode, spec.verbose) != 0) return 1;
  bool conflict = configured_as(spec.count, spec.paths, path) != nullptr;
  for (int id = 0; id < Vol_NumVolumes() && !conflict; ++id) {
    const VOLUME* v = &Vol_GetRootVol()[id];
    std::string p;
    conflict = v->fhandle != nullptr && util_absolute_path(v->path, &p) && p == path;
  }
  if (conflict) {
    config_abort(spec.config_path, "contains conflicting volume definition");
    Vol_Close();
    Vol_Free();
    return 1;
  }
  if (spec.verbose) {
    printf("Creating extension volume %s\n", path.c_str());
    fflush(stdout);
  }
  // Vol_CreateExtent leaves no file of its own behind when it fails, and
  // never touches one that was there: nothing is removed here then.
  if (Vol_CreateExtent(path.c_str(), spec.type, size, spec.ext_size, spec.max_size) == nullptr) {
    util_failure("Unable to create extension volume\n");
    fputs("Failed to create extension volume\n", stderr);
    Vol_Close();
    Vol_Free();
    return 1;
  }
  Vol_SetSyncMode(spec.sync_mode);
  // The new file and its directory are on disk; now the root that names it.
  Vol_SyncFile(Vol_GetRootVol(), Vol_TIO_SYNC);
  // The set names the new volume from here on: a failing hook keeps the
  // file, and the configuration still lists it.
  const int hook = util_volume_hook(path.c_str());
  if (hook != 0) fputs("Failed to create extension volume\n", stderr);
  const std::string lines = volume_lines(spec.count, spec.paths);
  if (lines_out != nullptr) *lines_out = lines;
  progress(spec.verbose, "Closing volume ...\n");
  util_close_set_durably();
  if (spec.config_path != nullptr && cfg_set_section("Volumes", lines.c_str(), spec.config_path) != 1)
    util_print_manual_update(spec.config_path, lines);
  if (hook != 0) return 1;
  progress(spec.verbose, "done.\n");
  return 0;
}

int Tune_Run(const TuneSpec& spec) {
  std::string path;
  const char* configured = nullptr;
  if (util_absolute_path(spec.operand, &path))
    configured = configured_as(spec.count, spec.paths, path);
  if (configured == nullptr) {
    config_abort(spec.config_path, "does not reference given volume");
    return 1;
  }
  if (open_set(spec.count, spec.paths, 0, spec.sync_mode, spec.verbose) != 0) return 1;
  if (spec.verbose) {
    printf("Changing volume %s\n", path.c_str());
    fflush(stdout);
  }
  // The set knows its volumes by the paths it was opened with.
  if (Vol_ChangeProperties(configured, spec.flag_mask, spec.flag_values, Vol_UNCHANGED,
                           spec.ext_size, spec.max_size) != 0) {
    util_failure("Unable to change volume properties\n");
    fputs("Failed to change volume\n", stderr);
    Vol_Close();
    Vol_Free();
    return 1;
  }
  progress(spec.verbose, "Closing volume ...\n");
  util_close_set_durably();
  progress(spec.verbose, "done.\n");
  return 0;
}
