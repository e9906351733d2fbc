// volume_text.h - a volume's lines as the dump (spaceinfo) and the check
// (spacecheck) print them: the list line, the size table row, the
// descriptor fields. Text only: each tool sends it where its lines go.
//
// Context: any thread; reads the descriptor given, nothing else.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

#include "storage/volume_format.h"

// The text fmt formats with the arguments of ap (or those that follow),
// however long.
std::string VolText_Format(const char* fmt, va_list ap);
std::string VolText_Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "DATA", "LOG", "TEMP", or "????".
const char* VolText_TypeName(uint32_t type);
// Pages as megabytes.
double VolText_Megabytes(uint64_t pages);
// "DSYNC " and "LSYNC " as the volume's flags say (each with its space).
std::string VolText_SyncFlags(const VOLUME* vol);
// The volume list text of a map: the 1-based ids of its set bits in
// ascending order joined by ","; a run of three or more consecutive ids is
// written "first-last". Empty for an empty map.
std::string VolText_MapText(const Vol_ALDESC& map);

// "ID  Type Path" and a volume's line under it (ids are 1-based).
std::string VolText_ListHeader();
std::string VolText_ListLine(const VOLUME* vol);
// The size table's header (after an empty line) and a volume's row.
std::string VolText_TableHeader();
std::string VolText_TableRow(const VOLUME* vol);
// The descriptor fields, one " name = value" line each.
std::string VolText_Fields(const VOLUME* vol);
