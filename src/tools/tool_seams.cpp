// tool_seams.cpp - stand-ins for engine services the utilities start that
// are not built yet (see tool_seams.h).
#include "tools/tool_seams.h"

int FixRec_Init() { return 0; }
