// syscat_path.h - the linked fields of a table path defined over the wire.
//
// A systablepath row names both ends of a path: the table's own column
// (colid) and the related table, its path index and its column
// (linkedtableid, linkedidx, linkedcolid). A client may send all three
// linked fields; when it sends none they are derived from what the
// catalog already holds:
// - the path of a detail table leads to the one master table whose key
//   item (its first column) is colid; linkedcolid is colid; linkedidx is
//   the index of that master's path back to this table when it is already
//   defined, else one more than the paths other tables already lead to it;
// - the path of a master table leads back along the one detail path that
//   names this master at this path index.
// No such table, or more than one, refuses the path.
//
// Context: the connection's worker task; suspends where catalog reads do.
#pragma once
#include "index/syscat.h"

// Fills the linked fields of tp. 0, or -1 when they cannot be derived.
int syscat_derive_path(SysCat_DB_CATALOG* cat, SysCat_TABLEPATH* tp, Node* tx);
