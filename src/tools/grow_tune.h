// grow_tune.h - adding a volume to an environment and tuning one (the
// bodies of spacegrow and spacetune, which tests run in-process on the
// file double).
//
// Adding is made durable in this order whatever the sync mode: the new
// file and its directory, then the root's descriptor, then the
// configuration (replaced by a rename, never rewritten in place). A file
// this run did not make is never removed.
//
// Context: one thread without a task kernel; no volume set may be open.
// Messages go to standard error, progress lines to standard output with
// verbose. Both return the tool's exit status: 0 done, 1 failed, 2 an
// operand the configuration could not give back (the caller prints the
// usage).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/server_config.h"
#include "tools/util_frame.h"

// The configured set and the volume the operand names: what both runs
// start from.
struct VolumeTarget {
  const char* config_path;     // for the messages and the rewrite; none: no rewrite
  int count;                   // the configured volume paths, in configuration order
  const char* const* paths;
  const char* operand;         // the volume's file, as given
  int sync_mode = 0;
  bool verbose = false;
};

// The target from a tool's command line and configuration; the configured
// paths are kept in *paths, which must outlive it.
void Grow_SetTarget(const UtilArgs& args, const CfgRecord* cfg, std::vector<const char*>* paths,
                    VolumeTarget* target);

struct GrowSpec : VolumeTarget {
  uint32_t type;               // VolType_DATA, _LOG or _TEMP
  uint32_t size = 320;         // pages; raised to the smallest volume with a message
  uint32_t ext_size = 128;
  uint32_t max_size = 0;
  int force = 0;               // Vol_Open with force
};

// Adds the volume and rewrites the Volumes section to list every volume
// of the set. With lines, the section's new lines ("Root = <path>" LF ...)
// go there too.
int Grow_Run(const GrowSpec& spec, std::string* lines = nullptr);

struct TuneSpec : VolumeTarget {
  uint32_t ext_size;     // pages, or Vol_UNCHANGED
  uint32_t max_size;     // pages, or Vol_UNCHANGED
  uint32_t flag_mask;    // 0, or the USEVIO bit
  uint32_t flag_values;
};

// Changes the configured volume the operand names; a path the
// configuration does not list aborts before the set is opened.
int Tune_Run(const TuneSpec& spec);
