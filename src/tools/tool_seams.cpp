// tool_seams.cpp - stand-ins for engine services the utilities start that
// are not built yet (see tool_seams.h).
#include "tools/tool_seams.h"

#include "base/debug_log.h"
#include "base/error_status.h"
#include "storage/volume_set.h"

int FixRec_Init() { return 0; }

int Tlog_Recover() {
  if (Vol_IsConsistent()) return 0;
  debug_log('D', 0, "crash recovery not yet built: the set was not closed cleanly");
  SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, VOL_E_NO_TRANSACTIONS);
  return -1;
}
