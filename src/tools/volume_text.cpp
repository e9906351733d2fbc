// volume_text.cpp - a volume's lines for the dump and the check (see
// volume_text.h). Sizes are figured in 64 bits (a volume may hold 2^24
// pages).
#include "tools/volume_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool has(const VOLUME* v, int bit) { return Vol_TestFlag(bit, &v->header) != 0; }

}  // namespace

std::string VolText_Printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string line = VolText_Format(fmt, ap);
  va_end(ap);
  return line;
}

std::string VolText_Format(const char* fmt, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  const int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(big.data(), big.size(), fmt, ap);
  big.resize(static_cast<size_t>(n));
  return big;
}

const char* VolText_TypeName(uint32_t type) {
  switch (type) {
    case VolType_DATA: return "DATA";
    case VolType_LOG: return "LOG";
    case VolType_TEMP: return "TEMP";
    default: return "????";
  }
}

double VolText_Megabytes(uint64_t pages) {
  return static_cast<double>(pages * Vol_PAGESIZE) / 1048576.0;
}

std::string VolText_SyncFlags(const VOLUME* vol) {
  std::string s;
  if (has(vol, Vol_DSYNC)) s += "DSYNC ";
  if (has(vol, Vol_LSYNC)) s += "LSYNC ";
  return s;
}

std::string VolText_MapText(const Vol_ALDESC& map) {
  std::string text;
  for (int id = 0; id < Vol_MAXLINK;) {
    if (!Vol_IsAllocAllowed(id, &map)) {
      ++id;
      continue;
    }
    int last = id;
    while (last + 1 < Vol_MAXLINK && Vol_IsAllocAllowed(last + 1, &map)) ++last;
    if (!text.empty()) text += ",";
    if (last - id >= 2) {
      text += std::to_string(id + 1) + "-" + std::to_string(last + 1);
    } else {
      text += std::to_string(id + 1);
      if (last > id) text += "," + std::to_string(last + 1);
    }
    id = last + 1;
  }
  return text;
}

std::string VolText_ListHeader() { return "ID  Type Path\n"; }

std::string VolText_ListLine(const VOLUME* vol) {
  return VolText_Printf("%-3d %-4.4s %s\n", static_cast<int>(vol->volume_id) + 1,
                 VolText_TypeName(vol->type), vol->path);
}

std::string VolText_TableHeader() {
  return "\nID  Type  Cur.Sz  Ext.Sz  Max.Sz    Free    Used Flags\n";
}

std::string VolText_TableRow(const VOLUME* vol) {
  const uint64_t used = vol->curr_size >= vol->free_size ? vol->curr_size - vol->free_size : 0;
  return VolText_Printf("%-3d %-4.4s %7.1f %7.1f %7.1f %7.1f %7.1f %s\n",
                 static_cast<int>(vol->volume_id) + 1, VolText_TypeName(vol->type),
                 VolText_Megabytes(vol->curr_size), VolText_Megabytes(vol->ext_size),
                 VolText_Megabytes(vol->max_size), VolText_Megabytes(vol->free_size),
                 VolText_Megabytes(used), VolText_SyncFlags(vol).c_str());
}

std::string VolText_Fields(const VOLUME* vol) {
  std::string out;
  auto field = [&](const char* name, const std::string& value) {
    out += VolText_Printf(" %-23s= %s\n", name, value.c_str());
  };
  auto hex = [](uint32_t v) { return VolText_Printf("%08x", v); };
  const char* type = vol->type == VolType_DATA   ? "VolType_DATA"
                     : vol->type == VolType_LOG  ? "VolType_LOG"
                     : vol->type == VolType_TEMP ? "VolType_TEMP"
                                                 : "<unknown>";
  std::string flags = VolText_SyncFlags(vol);
  if (has(vol, Vol_USEVIO)) flags += "USEVIO ";
  if (flags.empty()) flags = "<none>";
  field("revision", std::string(vol->revision, strnlen(vol->revision, sizeof vol->revision)));
  field("release", std::to_string(vol->release));
  field("byte_order", std::to_string(vol->byte_order));
  field("volume_id", std::to_string(vol->volume_id));
  field("num_volumes", std::to_string(vol->num_volumes));
  field("used_volumes", std::to_string(vol->used_volumes));
  field("used_map", VolText_MapText(vol->used_map));
  field("set_id", hex(vol->set_id));
  field("type", type);
  field("flags", flags);
  field("page_size", std::to_string(vol->page_size));
  field("curr_size", std::to_string(vol->curr_size));
  field("ext_size", std::to_string(vol->ext_size));
  field("max_size", std::to_string(vol->max_size));
  field("free_size", std::to_string(vol->free_size));
  field("flist_head", hex(vol->flist_head));
  field("flist_tail", hex(vol->flist_tail));
  field("num_flist", std::to_string(vol->num_flist));
  field("first_page", hex(vol->first_page));
  field("standard_aldesc", VolText_MapText(vol->standard_aldesc));
  field("tlog_aldesc", VolText_MapText(vol->tlog_aldesc));
  field("temp_aldesc", VolText_MapText(vol->temp_aldesc));
  field("generation", std::to_string(vol->generation));
  return out;
}
