// util_frame.h - what the volume utilities share: the command-line frame
// (banner, "-help", "-version", option parsing with the tools' own
// messages, usage texts), the panic handler, the log output, reading the
// configuration, size and path operands, the failure lines, and the hook
// called for each volume file a tool has made or reset.
//
// The utilities run on one thread without a task kernel: the error status
// falls back to its process-wide slot, and the I/O layer (tio.h) does every
// transfer and flush directly on that thread, since tio_setup is never
// called. Exit status: 0 success, 1 failure, 2 usage error.
#pragma once
#include <cstdint>
#include <string>

#include "base/server_config.h"
#include "storage/volume_format.h"

// What a tool takes after its options.
enum class UtilOperand { None, Optional, Required };

struct UtilTool {
  const char* program;       // "jrnclear"
  const char* word;          // banner word, "JRNCLEAR"
  const char* options;       // getopt option string, "vd:c:"
  // The tool's own usage lines after the common ones; none-ended. A tool
  // whose -v takes a value ("v:") gets -v through its option function and
  // lists every option line itself.
  const char* const* usage;
  UtilOperand operand;
  bool usage_without_arguments;  // no argument at all prints the usage (exit 2)
};

struct UtilArgs {
  bool verbose = false;
  int verbose_level = 0;           // -v given this many times
  const char* debug_flags = "*0";
  const char* config = nullptr;   // -c, or none: zentdb6.cfg in the installation's etc
  const char* operand = nullptr;  // the volume file name, when the tool takes one
};

// A tool's own option (one the frame does not handle: not v, d, c). Returns
// 0, or -1 after printing why the value is refused (a usage error).
using UtilOptionFn = int (*)(int option, const char* value, void* context);

// Result of util_begin when the tool goes on.
inline constexpr int kUtilContinue = -1;

// The frame of every tool, in order: banner, "-help", "-version", options,
// operands, log flags (output to standard error), panic handler. Returns
// kUtilContinue with args filled, or the exit status (0 after "-version", 2
// after a usage error, the usage printed).
int util_begin(const UtilTool& tool, int argc, char** argv, UtilOptionFn option, void* context,
               UtilArgs* args);
// What a tool asks of its configuration: volumes named (the file must
// exist), or none needed (a missing file gives the defaults).
enum class UtilConfig { NeedVolumes, MayBeMissing };
// The body of a tool, after its frame and configuration: the exit status.
using UtilRunFn = int (*)(const UtilArgs& args, const CfgRecord* cfg, void* context);
// A tool's main: util_begin, the configuration as need says, then run
// with context (also handed to option).
int util_main(const UtilTool& tool, int argc, char** argv, UtilOptionFn option, void* context,
              UtilConfig need, UtilRunFn run);

// The usage text to standard error.
void util_usage(const UtilTool& tool);

// The utilities' panic handler: prints the assertion and aborts.
[[noreturn]] void util_assert(const char* expression, const char* file, int line);

// Progress line to standard output when verbose.
void util_progress(const UtilArgs& args, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// "<message>\nFailure code: <status>\n" to standard error.
void util_failure(const char* message);

// The configuration file's path: -c, else zentdb6.cfg in the installation's
// etc directory. Empty when that cannot be formed (the reason is logged).
std::string util_config_path(const UtilArgs& args);
// Reads the configuration ("Reading configuration ..." when verbose). None
// after "Fatal problem reading config file" on standard error. With
// allow_missing, a file that does not exist gives the defaults and no
// volumes.
CfgRecord* util_read_config(const UtilArgs& args, bool allow_missing);
// True when the Volumes section names at least one file; else prints
// "Configuration file %s" / "contains no volume definitions - aborted".
bool util_has_volumes(const CfgRecord* cfg);
// Prints "Configuration file %s\n" and "<what> - aborted\n".
void util_config_abort(const CfgRecord* cfg, const char* what);
// Opens the set named by the Volumes section. The volume table, or none.
VOLUME* util_open_set(const CfgRecord* cfg, int force);
// True, after the NOTE on standard error, when the open set was shut down
// in on-line backup mode: its LOG volumes hold the redirected data pages,
// which only the server's recovery puts back.
bool util_refuse_backup_mode();
// The advice printed when the configuration could not be rewritten: the
// `Volumes` section as the user must write it by hand (`lines`, each ended).
void util_print_manual_update(const char* config_path, const std::string& lines);
// Writes every open volume's changes, flushes every open file whatever the
// sync mode, then closes and frees the set.
void util_close_set_durably();

// A size in megabytes as the command lines give it: decimal digits only,
// 0 to Vol_MAXPAGES / 128, into pages. 0, or -1 for anything else.
int util_parse_size(const char* text, uint32_t* pages);
// The usage error for a bad size of option: its line to standard error.
int util_bad_size(int option, const char* text);

// The sizes of a new volume (-s, -e, -m), in pages, with their defaults.
struct UtilSizes {
  uint32_t size = Vol_MINPAGES;
  uint32_t ext_size = 128;
  uint32_t max_size = 0;
};
// UtilOptionFn of -s, -e and -m; context is a UtilSizes.
int util_size_option(int option, const char* value, void* context);
// Their usage lines, none-ended.
extern const char* const kUtilSizeUsage[];
// Raises an initial size below the smallest volume to it, with "Initial
// volume size aligned to 2.5 MB (320 pages)" on standard output.
void util_raise_initial_size(uint32_t* pages);

// path made absolute against the working directory, with "." components
// and repeated separators dropped. False when the working directory is
// unknown.
bool util_absolute_path(const char* path, std::string* out);
// True when path can be a volume file name: shorter than a volume's path
// field, and readable back from the configuration (no ";", "#", quote at
// the start, control character, or white space at either end). Else prints
// why to standard error.
bool util_volume_name_ok(const std::string& path);

// Called for every volume file a tool has made (spacenew) or reset
// (jrnclear); a nonzero result makes the creating tool remove the new file
// and fail. The default does nothing and returns 0.
using UtilVolumeHook = int (*)(const char* path);
void util_set_volume_hook(UtilVolumeHook hook);
int util_volume_hook(const char* path);
