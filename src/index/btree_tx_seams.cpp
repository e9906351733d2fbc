// btree_tx_seams.cpp - stand-ins for the B-tree's page access inside a
// transaction (see btree_tx_seams.h): each refuses with BT E001. The
// transactional step replaces this file.
#include "index/btree_tx_seams.h"

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/btree.h"

namespace {
void refuse(const char* what) {
  debug_log('B', 0, "%s: B-tree pages inside a transaction are not yet built", what);
  SET_ERROR(ERR_MOD_BT, ERR_SEV_E, BT_E_PAGE);
}
}  // namespace

uint8_t* btree_TxGet(btree_HANDLE*, uint32_t) {
  refuse("mpool_get");
  return nullptr;
}

void btree_TxPut(btree_HANDLE*, uint8_t*, uint32_t) {
  ZENT_ASSERT(!"btree_TxPut: no transactional page is ever handed out");
}

int btree_TxLock(btree_HANDLE*, uint8_t**) {
  refuse("mpool_lock");
  return -1;
}

uint8_t* btree_TxNew(btree_HANDLE*, uint32_t*) {
  refuse("__bt_new");
  return nullptr;
}

int btree_TxFree(btree_HANDLE*, uint8_t*) {
  refuse("__bt_free");
  return -1;
}

int btree_TxAdvisoryTake(btree_HANDLE*, uint32_t) {
  refuse("bt_search");
  return -1;
}

void btree_TxReleaseAdvisory(btree_CTX* ctx) { ctx->lrec_cnt = 0; }
