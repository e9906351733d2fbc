// util_frame.cpp - the command-line frame, panic handler, log output and
// shared helpers of the volume utilities (see util_frame.h).
//
// Context: a utility's only thread.
#include "tools/util_frame.h"

#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/install_dirs.h"
#include "base/panic.h"
#include "storage/page_io.h"
#include "storage/tio.h"
#include "storage/volume_set.h"
#include "tools/volume_create.h"

namespace {

constexpr const char* kVersionLine = "WIN32 A.06.00 (build Jul  7 2001)\n";
constexpr const char* kRelease = "6.0.0";
// Largest size option: the largest volume, in megabytes.
constexpr uint32_t kMaxMegabytes = Vol_MAXPAGES / 128;

int default_hook(const char*) { return 0; }
UtilVolumeHook g_hook = default_hook;

}  // namespace

namespace {

// A tool whose -v takes a value (spaceinfo's dump letters) handles -v
// itself and prints all of its option lines.
bool own_v(const UtilTool& tool) { return strstr(tool.options, "v:") != nullptr; }

}  // namespace

void util_usage(const UtilTool& tool) {
  // A tool whose lines start with a "usage:" line of its own has a usage
  // text of its own (spacecheck's lists no -v and has its own layout).
  const bool own = tool.usage != nullptr && tool.usage[0] != nullptr &&
                   strncmp(tool.usage[0], "usage:", 6) == 0;
  if (own) {
    fprintf(stderr, "usage: %s [options]\n", tool.program);
    for (const char* const* line = tool.usage + 1; *line != nullptr; ++line) fputs(*line, stderr);
    return;
  }
  if (tool.operand == UtilOperand::None)
    fprintf(stderr, "usage: %s [options]\n", tool.program);
  else
    fprintf(stderr, "usage: %s [options] volume_file_name\n", tool.program);
  fputs("options:\n", stderr);
  if (!own_v(tool)) {
    fputs(" -v        - verbose\n", stderr);
    fputs(" -d flags  - debug flags\n", stderr);
    fputs(" -c cfg    - configuration file name\n", stderr);
  }
  for (const char* const* line = tool.usage; line != nullptr && *line != nullptr; ++line)
    fputs(*line, stderr);
}

int util_begin(const UtilTool& tool, int argc, char** argv, UtilOptionFn option, void* context,
               UtilArgs* args) {
  fprintf(stderr, "\nQX Zentrim %s (%s)\n", tool.word, kRelease);
  if (argc > 1 && strcmp(argv[1], "-help") == 0) {
    util_usage(tool);
    return 2;
  }
  if (argc <= 1 && tool.usage_without_arguments) {
    util_usage(tool);
    return 2;
  }
  if (argc > 1 && strcmp(argv[1], "-version") == 0) {
    fputs(kVersionLine, stdout);
    return 0;
  }
  // The tools print their own messages: a leading ':' has getopt report a
  // missing value apart from an unknown option, and opterr keeps it quiet.
  const std::string options = std::string(":") + tool.options;
  opterr = 0;
  optind = 1;
  bool usage_error = false;
  for (int c; (c = getopt(argc, argv, options.c_str())) != -1;) {
    switch (c) {
      case ':':
        fprintf(stderr, "Option -%c requires an argument\n", optopt);
        usage_error = true;
        break;
      case '?':
        fprintf(stderr, "Unrecognized option: - %c\n", optopt);
        usage_error = true;
        break;
      case 'v':
        if (own_v(tool)) {
          if (option == nullptr || option(c, optarg, context) != 0) usage_error = true;
        } else {
          args->verbose = true;
          ++args->verbose_level;
        }
        break;
      case 'd':
        args->debug_flags = optarg;
        break;
      case 'c':
        args->config = optarg;
        break;
      default:
        if (option == nullptr || option(c, optarg, context) != 0) usage_error = true;
        break;
    }
  }
  const int left = argc - optind;
  if (!usage_error) {
    if (tool.operand == UtilOperand::None && left > 0) {
      fputs("Unexpected arguments\n", stderr);
      usage_error = true;
    } else if (tool.operand == UtilOperand::Required && left == 0) {
      fputs("Missing volume file name\n", stderr);
      usage_error = true;
    } else if (tool.operand != UtilOperand::None && left > 1) {
      fputs("Unexpected arguments\n", stderr);
      usage_error = true;
    }
  }
  if (usage_error) {
    util_usage(tool);
    return 2;
  }
  if (tool.operand != UtilOperand::None && left == 1) args->operand = argv[optind];
  debug_set_variant(DebugVariant::Server);
  debug_init(args->debug_flags, stderr);
  panic_set_handler(util_assert);
  return kUtilContinue;
}

int util_main(const UtilTool& tool, int argc, char** argv, UtilOptionFn option, void* context,
              UtilConfig need, UtilRunFn run) {
  UtilArgs args;
  if (int status = util_begin(tool, argc, argv, option, context, &args); status != kUtilContinue)
    return status;
  CfgRecord* cfg = util_read_config(args, need == UtilConfig::MayBeMissing);
  if (cfg == nullptr) return 1;
  int status = 1;
  if (need == UtilConfig::MayBeMissing || util_has_volumes(cfg)) status = run(args, cfg, context);
  FreeConfig(cfg);
  return status;
}

void util_assert(const char* expression, const char* file, int line) {
  fputs("panic: Fatal problem detected\n", stderr);
  fprintf(stderr, "Assertion failed: %s\n", expression);
  fprintf(stderr, "file %s, line %d\n", file, line);
  fflush(stderr);
  abort();
}

void util_progress(const UtilArgs& args, const char* format, ...) {
  if (!args.verbose) return;
  va_list ap;
  va_start(ap, format);
  vfprintf(stdout, format, ap);
  va_end(ap);
  fflush(stdout);
}

void util_failure(const char* message) {
  fputs(message, stderr);
  fprintf(stderr, "Failure code: %s\n", error_text());
}

std::string util_config_path(const UtilArgs& args) {
  if (args.config != nullptr) return args.config;
  const char* etc = get_etc_directory();
  if (etc == nullptr) {
    debug_log('A', 0, "Unable to form the configuration file's path");
    return "";
  }
  return std::string(etc) + "/" + kConfigFileName;
}

CfgRecord* util_read_config(const UtilArgs& args, bool allow_missing) {
  util_progress(args, "Reading configuration ...\n");
  const std::string path = util_config_path(args);
  CfgRecord* cfg = nullptr;
  if (!path.empty()) {
    if (allow_missing && access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
      cfg = static_cast<CfgRecord*>(calloc(1, sizeof(CfgRecord)));
      if (cfg != nullptr) {
        cfg->path = strdup(path.c_str());
        cfg->server = SrvConfig_New();
        cfg->limits = SrvLimits_New();
        cfg->volumes = CfgItemList_New();
        if (cfg->path == nullptr || cfg->server == nullptr || cfg->limits == nullptr ||
            cfg->volumes == nullptr) {
          FreeConfig(cfg);
          cfg = nullptr;
        }
      }
    } else {
      cfg = LoadConfig(path.c_str());
    }
  }
  if (cfg == nullptr) fputs("Fatal problem reading config file\n", stderr);
  return cfg;
}

void util_config_abort(const CfgRecord* cfg, const char* what) {
  fprintf(stderr, "Configuration file %s\n", cfg->path);
  fprintf(stderr, "%s - aborted\n", what);
}

bool util_has_volumes(const CfgRecord* cfg) {
  if (cfg->volumes->count > 0) return true;
  util_config_abort(cfg, "contains no volume definitions");
  return false;
}

VOLUME* util_open_set(const CfgRecord* cfg, int force) {
  std::vector<const char*> paths;
  for (int i = 0; i < cfg->volumes->count; ++i) paths.push_back(cfg->volumes->items[i].value);
  return Vol_Open(static_cast<int>(paths.size()), paths.data(), force);
}

bool util_refuse_backup_mode() {
  if (!Vol_IsRedirected()) return false;
  fputs("NOTE: Database environment has been shutdown during on-line backup.\n"
        "      Please restart the database server once in order to recover\n"
        "      from on-line backup mode, then reapply this command.\n",
        stderr);
  return true;
}

void util_print_manual_update(const char* config_path, const std::string& lines) {
  fprintf(stderr,
          "Unable to add volume file to the configuration file.\n"
          "Please update the section [Volumes] of the configuration file\n"
          "%s as follows:\n[Volumes]\n%s",
          config_path, lines.c_str());
}

void util_close_set_durably() {
  Vol_SyncOpenVolumes(Vol_TIO_SYNC);
  VOLUME* table = Vol_GetRootVol();
  for (int id = 0; table != nullptr && id < Vol_NumVolumes(); ++id)
    if (table[id].fhandle != nullptr) Vol_SyncFile(&table[id], Vol_TIO_SYNC);
  Vol_Close();
  Vol_Free();
}

int util_parse_size(const char* text, uint32_t* pages) {
  if (text == nullptr || *text == '\0') return -1;
  uint32_t mb = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    mb = mb * 10 + static_cast<uint32_t>(*p - '0');
    if (mb > kMaxMegabytes) return -1;
  }
  *pages = mb * 128;
  return 0;
}

int util_bad_size(int option, const char* text) {
  fprintf(stderr, "Option -%c: invalid size %s (megabytes, 0 to %u)\n", option, text,
          kMaxMegabytes);
  return -1;
}

const char* const kUtilSizeUsage[] = {" -s sz     - Initial size\n", " -e sz     - Extension size\n",
                                      " -m sz     - Max volume size\n", nullptr};

void util_raise_initial_size(uint32_t* pages) {
  if (*pages >= Vol_MINPAGES) return;
  *pages = Vol_MINPAGES;
  printf("Initial volume size aligned to %u.%u MB (%u pages)\n", Vol_MINPAGES / 128,
         Vol_MINPAGES % 128 * 10 / 128, Vol_MINPAGES);
  fflush(stdout);
}

int util_size_option(int option, const char* value, void* context) {
  auto* sizes = static_cast<UtilSizes*>(context);
  uint32_t* field = option == 's'   ? &sizes->size
                    : option == 'e' ? &sizes->ext_size
                    : option == 'm' ? &sizes->max_size
                                    : nullptr;
  if (field == nullptr) return -1;
  if (util_parse_size(value, field) != 0) return util_bad_size(option, value);
  return 0;
}

bool util_absolute_path(const char* path, std::string* out) {
  std::string full;
  if (path[0] != '/') {
    std::vector<char> cwd(4096);
    while (getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE) return false;
      cwd.resize(cwd.size() * 2);
    }
    full = cwd.data();
    full += '/';
  }
  full += path;
  // "." components and empty ones (repeated separators) name nothing; ".."
  // stays, since a symbolic link may stand before it.
  std::string result;
  size_t at = 0;
  while (at <= full.size()) {
    size_t end = full.find('/', at);
    if (end == std::string::npos) end = full.size();
    const std::string part = full.substr(at, end - at);
    if (!part.empty() && part != ".") result += "/" + part;
    at = end + 1;
  }
  *out = result.empty() ? "/" : result;
  return true;
}

bool util_volume_name_ok(const std::string& path) {
  if (path.size() >= static_cast<size_t>(Vol_MAXPATH)) {
    fprintf(stderr, "Volume file name too long (at most %d bytes)\n", Vol_MAXPATH - 1);
    return false;
  }
  bool readable = !path.empty() && path.front() != '"' && path.front() != '\'' &&
                  !isspace(static_cast<unsigned char>(path.front())) &&
                  !isspace(static_cast<unsigned char>(path.back()));
  for (unsigned char c : path)
    if (c == ';' || c == '#' || c < 0x20 || c == 0x7f) readable = false;
  if (!readable) {
    fprintf(stderr,
            "Volume file name %s cannot be recorded in the configuration file\n"
            "(it must not hold \";\", \"#\" or control characters, begin with a quote, or "
            "begin or end with white space)\n",
            LogText(path.c_str()).c_str());
    return false;
  }
  return true;
}

void util_set_volume_hook(UtilVolumeHook hook) { g_hook = hook != nullptr ? hook : default_hook; }

int util_volume_hook(const char* path) { return g_hook(path); }
