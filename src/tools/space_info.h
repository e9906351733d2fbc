// space_info.h - what the environment dump (spaceinfo) prints: the
// constants table, the volume list and table rows, a volume's descriptor
// fields, the node tables and the records of fixed-record files.
//
// Context: the dump tool's only thread, on a set opened read-only
// (Vol_SetReadOnly) with the node layer in inspect mode: nothing here
// writes to a volume file. Output goes to standard output.
#pragma once
#include <cstdint>
#include <string>

#include "storage/volume_format.h"

// The volume list text of a map: the 1-based ids of its set bits in
// ascending order joined by ","; a run of three or more consecutive ids is
// written "first-last". Empty for an empty map.
std::string SpaceInfo_MapText(const Vol_ALDESC& map);

// "constants:", an empty line and the format constants as this format
// defines them (not the sizes of this program's own structures).
void SpaceInfo_PrintConstants();
// "ID  Type Path" and one line per volume (id is 1-based).
void SpaceInfo_PrintListHeader();
void SpaceInfo_PrintListLine(const VOLUME* vol);
// The header of the size table.
void SpaceInfo_PrintTableHeader();
// The volume's table row, or with detail its "Volume #" lines.
void SpaceInfo_PrintVolume(const VOLUME* vol, bool detail);
// "volume parameters:", an empty line, the descriptor fields, an empty line.
void SpaceInfo_PrintParameters(const VOLUME* vol);

// The node tables of the data root ("nodes:") and the log root ("log:").
// 0, or -1 after "Unable to open node %s" and the failure code on standard
// error (a node that cannot be opened, a damaged node page chain).
int SpaceInfo_PrintNodes();
// Every record of every fixed-record file of the data root, each as a hex
// dump titled "Node %s recno=%u", an empty line after each file. 0 or -1
// as above.
int SpaceInfo_PrintRecords();
