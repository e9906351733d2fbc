// cfg_file.cpp - reading a table file by the modification-time rule (see
// cfg_file.h).
#include "daemon/cfg_file.h"

#include <sys/stat.h>

#include <cstring>
#include <new>

#include "base/debug_log.h"
#include "base/ini_file.h"

namespace zentsd {

void cfg_split_list(const char* value, std::vector<std::string>* out) {
  const char* p = value;
  while (*p != '\0') {
    const size_t skip = strspn(p, ", \t");
    p += skip;
    const size_t len = strcspn(p, ", \t");
    if (len > 0) out->emplace_back(p, len);
    p += len;
  }
}

int CfgFile::SetFile(const char* path) {
  path_ = path ? path : "";
  mtime_ = timespec{};
  loaded_ = false;
  return Refresh();
}

int CfgFile::Refresh() {
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) return loaded_ ? 0 : -1;
  if (loaded_ && st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec)
    return 0;
  debug_log('C', 2, "%s::ReadConfig()", Name());
  if (Read() != 0) return loaded_ ? 0 : -1;
  mtime_ = st.st_mtim;
  loaded_ = true;
  return 0;
}

int CfgFile::Read() {
  IniHandle ini;
  IniInitHandle(&ini);
  if (IniOpen(&ini, path_.c_str(), nullptr) != 0) return -1;
  int rc = 0;
  try {
    Begin();
    char section[256];
    char item[256];
    char value[1024];
    for (;;) {
      const int r = IniReadSection(ini, section, sizeof section);
      if (r == 1) break;
      if (r != 0) {
        debug_log('C', 0, "%s: FindSection failed", Name());
        rc = -1;
        break;
      }
      debug_log('C', 2, "%s: section=\"%s\"", Name(), section);
      Section(section);
      int i;
      while ((i = IniNextItem(&ini, item, sizeof item, value, sizeof value)) == 0) Item(item, value);
      if (i < 0) {
        rc = -1;
        break;
      }
    }
    if (rc == 0) Commit();
  } catch (const std::bad_alloc&) {
    debug_log('C', 0, "%s: no memory to read \"%s\"", Name(), path_.c_str());
    rc = -1;
  }
  IniClose(&ini);
  return rc;
}

}  // namespace zentsd
