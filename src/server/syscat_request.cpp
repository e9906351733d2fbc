// syscat_request.cpp - request class 4 (see syscat_request.h).
//
// Every request is one row of the table below: its name, the layout of its
// arguments, where its u16 handle points, its checks and its handler. The
// dispatch decodes the arguments by the layout, looks the database handle
// up, makes the checks (capability, then transaction) and runs the
// handler, which makes its catalog call on the session's transaction and
// builds the reply.
#include "server/syscat_request.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "access/idb_dbctx.h"
#include "access/idb_logon.h"
#include "access/idb_session.h"
#include "access/schema_cache.h"
#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "index/syscat.h"
#include "index/syscat_format.h"
#include "server/buffer.h"
#include "server/client_session.h"
#include "server/dbml_request.h"
#include "server/dispatch.h"
#include "server/syscat_maps.h"
#include "server/syscat_path.h"
#include "storage/tlog.h"

namespace {

// --- Checks -------------------------------------------------------------------------------

enum : unsigned { CK_A = 1, CK_U = 2, CK_D = 4, CK_G = 8, CK_T = 16 };
// What the u16 handle names.
enum HandleKind { H_NONE, H_DB, H_DB_OR_SERVER, H_QUERY };

struct Req {
  ClientSession* s;
  Buffer* b;
  idb_session* db;
  Node* tx;            // the open transaction, or none
  CatalogDbMap* map;   // the database handle's map, or none
  const SyscatArgs* a;
};

using Handler = int (*)(Req&);

struct Row {
  const char* name;
  const char* context;
  const char* layout;
  HandleKind handle;
  unsigned checks;
  Handler run;
};

// Layout letters: h u16 handle, i 32-bit field, s string, b u8, w u16,
// a align 4, o object.
int decode_layout(Buffer* b, const char* layout, SyscatArgs* a) {
  for (const char* p = layout; *p != 0; ++p) {
    switch (*p) {
      case 'h': Buffer_Get_u16(b, &a->h); break;
      case 'i': Buffer_Get_u32(b, &a->n[a->nn++]); break;
      case 's': Buffer_Get_str(b, &a->name); break;
      case 'b': Buffer_Get_u8(b, &a->c[a->nc++]); break;
      case 'w': Buffer_Get_u16(b, &a->w[a->nw++]); break;
      case 'a': Buffer_Get_align(b, 4); break;
      case 'o': Buffer_Get_obj(b, &a->obj, &a->obj_size); break;
      default: ZENT_ASSERT(!"syscat layout letter"); break;
    }
  }
  return Buffer_RecvFailed(b) ? -1 : 0;
}

Node* open_tx(idb_session* db) {
  Node* n = idb__tx_node(db);
  return n != nullptr && Tlog_TxDepth(n) > 0 ? n : nullptr;
}

// A string blob {u32 length, bytes} of the catalog's in-memory rows.
struct Blob {
  std::vector<uint32_t> words;  // 4-byte aligned storage
  uint8_t* make(const uint8_t* bytes, uint32_t n) {
    words.assign(1 + (n + 3) / 4, 0);
    words[0] = n;
    if (n != 0) memcpy(words.data() + 1, bytes, n);
    return reinterpret_cast<uint8_t*>(words.data());
  }
};

char* text(const char* s) { return const_cast<char*>(s); }
const char* shown(const char* s) { return s != nullptr ? s : ""; }

int ok_empty(Req& r) {
  reply_success(r.s);
  return Buffer_SendFailed(r.b) ? -1 : 0;
}
int ok_u32(Req& r, uint32_t v) {
  reply_success(r.s);
  Buffer_Put_u32(r.b, v);
  return Buffer_SendFailed(r.b) ? -1 : 0;
}
int done(Req& r) { return Buffer_SendFailed(r.b) ? -1 : 0; }

void put_blob(Buffer* b, const uint8_t* blob) {
  const uint32_t n = blob != nullptr ? SysCat_BlobLength(blob) : 0;
  uint8_t* p = Buffer_Put_obj(b, n);
  if (p != nullptr && n != 0) memcpy(p, SysCat_BlobBytes(blob), n);
}

// --- Server catalog -----------------------------------------------------------------------

int add_object(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_OBJECT o{a.n[0], a.n[1], text(a.name), a.n[2]};
  if (SysCat_add_object(&o, r.tx) != 0)
    return reply_failed(r.s, "Failed to add object \"%s\"", a.name);
  return ok_u32(r, o.id);
}

int object_reply(Req& r, SysCat_OBJECT* o) {
  reply_success(r.s);
  Buffer_Put_u32(r.b, o->id);
  Buffer_Put_u32(r.b, o->type);
  Buffer_Put_str(r.b, shown(o->name));
  Buffer_Put_u32(r.b, o->link);
  free(o);
  return done(r);
}

int get_object_by_name(Req& r) {
  SysCat_OBJECT* o = SysCat_get_object_by_name(r.a->name, r.tx);
  if (o == nullptr) return reply_failed(r.s, "Object \"%s\" not found", r.a->name);
  return object_reply(r, o);
}

int get_object_by_id(Req& r) {
  SysCat_OBJECT* o = SysCat_get_object_by_id(r.a->n[0], r.tx);
  if (o == nullptr) return reply_failed(r.s, "Object id %u not found", r.a->n[0]);
  return object_reply(r, o);
}

int get_vol_by_id(Req& r) {
  SysCat_DEVICE* d = SysCat_get_vol_by_id(r.a->n[0], r.tx);
  if (d == nullptr) return reply_failed(r.s, "Volume id %u not found", r.a->n[0]);
  reply_success(r.s);
  Buffer_Put_u32(r.b, d->volid);
  Buffer_Put_u32(r.b, d->serial);
  Buffer_Put_u32(r.b, d->type);
  Buffer_Put_str(r.b, shown(d->path));
  Buffer_Put_u32(r.b, d->pagesz);
  Buffer_Put_u32(r.b, d->size);
  free(d);
  return done(r);
}

// The 32-bit field of a VAT stands for the first four bytes of its map.
uint32_t map_word(const uint8_t* map) {
  return uint32_t{map[0]} | uint32_t{map[1]} << 8 | uint32_t{map[2]} << 16 | uint32_t{map[3]} << 24;
}

int add_vat(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_VAT v{};
  v.vatid = a.n[0];
  v.type = a.n[1];
  v.name = text(a.name);
  for (int i = 0; i < 4; ++i) v.map[i] = static_cast<uint8_t>(a.n[2] >> (8 * i));
  v.refcnt = a.n[3];
  if (SysCat_add_vat(&v, r.tx) != 0) return reply_failed(r.s, "Failed to add VAT \"%s\"", a.name);
  return ok_u32(r, v.vatid);
}

int vat_reply(Req& r, SysCat_VAT* v) {
  reply_success(r.s);
  Buffer_Put_u32(r.b, v->vatid);
  Buffer_Put_u32(r.b, v->type);
  Buffer_Put_str(r.b, shown(v->name));
  Buffer_Put_u32(r.b, map_word(v->map));
  Buffer_Put_u32(r.b, v->refcnt);
  free(v);
  return done(r);
}

int get_vat_by_name(Req& r) {
  SysCat_VAT* v = SysCat_get_vat_by_name(r.a->name, r.tx);
  if (v == nullptr) return reply_failed(r.s, "VAT \"%s\" not found", r.a->name);
  return vat_reply(r, v);
}

int get_vat_by_id(Req& r) {
  SysCat_VAT* v = SysCat_get_vat_by_id(r.a->n[0], r.tx);
  if (v == nullptr) return reply_failed(r.s, "VAT id %u not found", r.a->n[0]);
  return vat_reply(r, v);
}

// ADD_USER, UPD_USER, DEL_USER: i32 uid, str name, align 4, obj password
// (no bytes: none), u32 priv.
enum UserOp { USER_ADD, USER_UPD, USER_DEL };

// A user administrator who is no dba gives only capabilities it holds
// itself and leaves the users who hold the dba capability alone, so that it
// can neither make itself dba nor take the dba's account over. The refusal
// text, or none.
const char* user_change_refusal(Req& r, UserOp op, const SysCat_USER& u) {
  if (idb__chk_capability(r.db, 0)) return nullptr;
  if (op != USER_DEL && (u.priv & ~r.db->caps) != 0)
    return "Permission denied - a capability not held cannot be granted.";
  if (op == USER_ADD) return nullptr;
  SysCat_USER* old = SysCat_get_user_by_id(u.uid, r.tx);
  const bool dba = old != nullptr && (old->priv & IDB_CAP_DBA) != 0;
  free(old);
  return dba ? "Permission denied - dba capabilities required." : nullptr;
}

int user_change(Req& r, UserOp op) {
  const SyscatArgs& a = *r.a;
  Blob pw;
  SysCat_USER u{a.n[0], text(a.name), a.obj_size != 0 ? pw.make(a.obj, a.obj_size) : nullptr,
                a.n[1]};
  static const char* const kWhat[] = {"add", "update", "delete"};
  if (const char* refusal = user_change_refusal(r, op, u)) return reply_failed(r.s, "%s", refusal);
  const int rc = op == USER_ADD   ? SysCat_add_user(&u, r.tx)
                 : op == USER_UPD ? SysCat_upd_user(&u, r.tx)
                                  : SysCat_del_user(u.uid, r.tx);
  if (rc != 0) return reply_failed(r.s, "Failed to %s user \"%s\"", kWhat[op], a.name);
  return op == USER_ADD ? ok_u32(r, u.uid) : ok_empty(r);
}

int add_user(Req& r) { return user_change(r, USER_ADD); }
int upd_user(Req& r) { return user_change(r, USER_UPD); }
int del_user(Req& r) { return user_change(r, USER_DEL); }

// A password digest goes only to its owner and to the administrators,
// however the row leaves the server (GET_USER_*, FETCH).
bool may_see_digest(Req& r, const SysCat_USER* u) {
  return static_cast<uint32_t>(idb__get_uid(r.db)) == u->uid || idb__chk_capability(r.db, 0) ||
         idb__chk_capability(r.db, 1);
}

int user_reply(Req& r, SysCat_USER* u) {
  const bool may_see = may_see_digest(r, u);
  reply_success(r.s);
  Buffer_Put_u32(r.b, u->uid);
  Buffer_Put_str(r.b, shown(u->name));
  Buffer_Put_align(r.b, 4);
  put_blob(r.b, may_see ? u->password : nullptr);
  Buffer_Put_u32(r.b, u->priv);
  free(u);
  return done(r);
}

int get_user_by_name(Req& r) {
  SysCat_USER* u = SysCat_get_user_by_name(r.a->name, r.tx);
  if (u == nullptr) return reply_failed(r.s, "User \"%s\" not found", r.a->name);
  return user_reply(r, u);
}

int get_user_by_id(Req& r) {
  SysCat_USER* u = SysCat_get_user_by_id(r.a->n[0], r.tx);
  if (u == nullptr) return reply_failed(r.s, "User id %u not found", r.a->n[0]);
  return user_reply(r, u);
}

int add_db_req(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_DB db{a.n[0], text(a.name), a.n[1], 0};
  if (add_db(&db, static_cast<uint32_t>(idb__get_uid(r.db)), r.tx) != 0)
    return reply_failed(r.s, "Failed to add database \"%s\"", a.name);
  return ok_u32(r, db.dbid);
}

// Some session has the database open: as a database or as a catalog.
bool db_open_anywhere(const SysCat_DB* db) {
  if (syscat_db_in_use(db->nodeid)) return true;
  for (const vglobal* v = idb__get_vroot_list(); v != nullptr; v = v->next)
    if (v->name != nullptr && db->name != nullptr && strcasecmp(v->name, db->name) == 0) return true;
  return false;
}

int del_db_req(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_DB* db = SysCat_get_db_by_name(a.name, 0, 0, r.tx);
  int rc = -1;
  if (db != nullptr) {
    // Purging a database that is open would pull its nodes from under
    // the sessions that use it.
    if (db_open_anywhere(db))
      debug_log('P', 1, "syscat_req_del_db(): database \"%s\" is open", LogText(a.name).c_str());
    else
      rc = del_db(db, r.tx);
    free(db);
  }
  if (rc != 0) return reply_failed(r.s, "Failed to delete database \"%s\"", a.name);
  return ok_empty(r);
}

int db_reply(Req& r, SysCat_DB* db) {
  reply_success(r.s);
  Buffer_Put_u32(r.b, db->dbid);
  Buffer_Put_str(r.b, shown(db->name));
  Buffer_Put_u32(r.b, db->flags);
  Buffer_Put_u32(r.b, db->nodeid);
  free(db);
  return done(r);
}

int get_db_by_name(Req& r) {
  SysCat_DB* db = SysCat_get_db_by_name(r.a->name, r.a->n[0], r.a->n[1], r.tx);
  if (db == nullptr) return reply_failed(r.s, "Database \"%s\" not found", r.a->name);
  return db_reply(r, db);
}

int get_db_by_id(Req& r) {
  SysCat_DB* db = SysCat_get_db_by_id(r.a->n[0], r.tx);
  if (db == nullptr) return reply_failed(r.s, "Database id %u not found", r.a->n[0]);
  return db_reply(r, db);
}

// The rest of OPEN_DB_BY_NAME and OPEN_DB_BY_ID once the row was found;
// cant_open is the caller's "could not be opened" text, ready formatted.
int open_db(Req& r, SysCat_DB* db, const char* cant_open) {
  SysCat_DB_CATALOG* cat = SysCat_db_open(db, r.tx);
  free(db);
  if (cat == nullptr) return reply_failed(r.s, "%s", cant_open);
  int why = kMapNone;
  CatalogDbMap* map = syscat_new_map(r.s, &why);
  if (map == nullptr) {
    SysCat_db_close(cat);
    if (why == kMapNoMemory) {
      debug_log('P', 0, "syscat_new_map() failed: heap overflow - closing the connection");
      return -1;
    }
    return reply_failed(r.s, "No more database slots available");
  }
  map->cat = cat;
  if (idb__get_db_privileges(r.db, cat, &map->privs, r.tx) != 0) {
    syscat_free_map(r.s, map);
    return reply_failed(r.s, "Failed to get db catalog privileges");
  }
  debug_log('P', 2, " db_hndl = %d", map->handle);
  reply_success(r.s);
  Buffer_Put_u16(r.b, map->handle);
  return done(r);
}

int open_db_by_name(Req& r) {
  SysCat_DB* db = SysCat_get_db_by_name(r.a->name, r.a->n[0], r.a->n[1], r.tx);
  if (db == nullptr) return reply_failed(r.s, "Database \"%s\" not found", r.a->name);
  char cant[kReplyTextMax + 1];
  snprintf(cant, sizeof cant, "Database \"%s\" could not be opened", r.a->name);
  return open_db(r, db, cant);
}

int open_db_by_id(Req& r) {
  SysCat_DB* db = SysCat_get_db_by_id(r.a->n[0], r.tx);
  if (db == nullptr) return reply_failed(r.s, "Database id %u not found", r.a->n[0]);
  char cant[64];
  snprintf(cant, sizeof cant, "Database id %u could not be opened", r.a->n[0]);
  return open_db(r, db, cant);
}

int close_db(Req& r) {
  syscat_free_map(r.s, r.map);
  return ok_empty(r);
}

int check_collate(Req& r, int32_t type, uint32_t size) {
  if (type != 0) return reply_failed(r.s, "Unknown collating sequence type %d", type);
  if (size != r.a->obj_size) return reply_failed(r.s, "Inconsistent collating sequence size (%u)", size);
  return 1;
}

// ADD_COLLATE and UPD_COLLATE: i32 id, str name, i32 type, u32 size, i32
// flags, align 4, obj table.
int collate_change(Req& r, bool add) {
  const SyscatArgs& a = *r.a;
  const int32_t type = static_cast<int32_t>(a.n[1]);
  const int bad = check_collate(r, type, a.n[2]);
  if (bad != 1) return bad;
  Blob map;
  SysCat_COLLATE c{a.n[0], text(a.name), a.n[1], a.n[3], 0, map.make(a.obj, a.obj_size)};
  if (add) {
    if (SysCat_add_collate(&c, r.tx) != 0)
      return reply_failed(r.s, "Failed to add collating sequence \"%s\"", a.name);
    return ok_u32(r, c.id);
  }
  if (SysCat_upd_collate(&c, r.tx) != 0)
    return reply_failed(r.s, "Failed to update collating sequence \"%s\"", a.name);
  return ok_empty(r);
}

int add_collate(Req& r) { return collate_change(r, true); }
int upd_collate(Req& r) { return collate_change(r, false); }

int collate_reply(Req& r, SysCat_COLLATE* c) {
  if (c->type != 0) {
    const int32_t type = static_cast<int32_t>(c->type);
    free(c);
    return reply_failed(r.s, "Unknown collating sequence type %d", type);
  }
  reply_success(r.s);
  Buffer_Put_u32(r.b, c->id);
  Buffer_Put_str(r.b, shown(c->name));
  Buffer_Put_u32(r.b, c->type);
  Buffer_Put_u32(r.b, c->map != nullptr ? SysCat_BlobLength(c->map) : 0);
  Buffer_Put_u32(r.b, c->flags);
  Buffer_Put_align(r.b, 4);
  put_blob(r.b, c->map);
  free(c);
  return done(r);
}

int get_collate_by_name(Req& r) {
  SysCat_COLLATE* c = SysCat_get_collate_by_name(r.a->name, r.tx);
  if (c == nullptr) return reply_failed(r.s, "Collating sequence \"%s\" not found", r.a->name);
  return collate_reply(r, c);
}

int get_collate_by_id(Req& r) {
  SysCat_COLLATE* c = SysCat_get_collate_by_id(r.a->n[0], r.tx);
  if (c == nullptr) return reply_failed(r.s, "Collating sequence id %u not found", r.a->n[0]);
  return collate_reply(r, c);
}

int get_client_collate_by_id(Req& r) {
  const char* charset = r.s->charset;
  if (charset == nullptr || charset[0] == 0)
    return reply_failed(r.s, "Collating sequence id %u unknown session character set", r.a->n[0]);
  SysCat_COLLATE* c = SysCat_get_client_collate_by_id(r.a->n[0], charset, r.tx);
  if (c == nullptr) return reply_failed(r.s, "Collating sequence id %u not found", r.a->n[0]);
  return collate_reply(r, c);
}

// --- A database's catalog -----------------------------------------------------------------

SysCat_DB_CATALOG* cat_of(Req& r) { return r.map->cat; }

// ADD_GROUP, UPD_GROUP, DEL_GROUP: h, i32 gid, str name, u32 priv.
int add_group(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_GROUP g{a.n[0], text(a.name), a.n[1]};
  if (SysCat_add_group(cat_of(r), &g, r.tx) != 0)
    return reply_failed(r.s, "Failed to add group \"%s\"", a.name);
  return ok_u32(r, g.gid);
}

int upd_group(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_GROUP g{a.n[0], text(a.name), a.n[1]};
  if (SysCat_upd_group(cat_of(r), &g, r.tx) != 0)
    return reply_failed(r.s, "Failed to update group \"%s\"", a.name);
  return ok_empty(r);
}

int del_group(Req& r) {
  const SyscatArgs& a = *r.a;
  if (SysCat_del_group(cat_of(r), a.n[0], r.tx) != 0)
    return reply_failed(r.s, "Failed to delete group \"%s\"", a.name);
  return ok_empty(r);
}

int not_implemented(Req& r, const char* fn) { return reply_failed(r.s, "%s() not implemented", fn); }
int get_group_by_name(Req& r) { return not_implemented(r, "syscat_req_get_group_by_name"); }
int get_column_by_name(Req& r) { return not_implemented(r, "syscat_req_get_column_by_name"); }
int get_index_by_name(Req& r) { return not_implemented(r, "syscat_req_get_index_by_name"); }
int get_table_by_name(Req& r) { return not_implemented(r, "syscat_req_get_table_by_name"); }

int get_group_by_id(Req& r) {
  SysCat_GROUP* g = SysCat_get_group_by_id(cat_of(r), r.a->n[0], r.tx);
  if (g == nullptr) return reply_failed(r.s, "Group id %u not found", r.a->n[0]);
  reply_success(r.s);
  Buffer_Put_u32(r.b, g->gid);
  Buffer_Put_str(r.b, shown(g->name));
  Buffer_Put_u32(r.b, g->priv);
  free(g);
  return done(r);
}

int add_member(Req& r) {
  if (SysCat_add_member(cat_of(r), r.a->n[0], r.a->n[1], r.tx) != 0)
    return reply_failed(r.s, "Failed to add member");
  return ok_empty(r);
}

int del_member(Req& r) {
  if (SysCat_del_member(cat_of(r), r.a->n[0], r.a->n[1], r.tx) != 0)
    return reply_failed(r.s, "Failed to delete member");
  return ok_empty(r);
}

int add_privilege(Req& r) {
  SysCat_PRIVILEGE p{r.a->n[0], r.a->n[1], r.a->n[2]};
  if (SysCat_add_privilege(cat_of(r), &p, r.tx) != 0)
    return reply_failed(r.s, "Failed to add privilege");
  return ok_empty(r);
}

int del_privilege(Req& r) {
  if (SysCat_del_privilege(cat_of(r), r.a->n[0], r.a->n[1], r.tx) != 0)
    return reply_failed(r.s, "Failed to delete privilege");
  return ok_empty(r);
}

int get_table_privilege(Req& r) {
  SysCat_PRIVILEGE* p = SysCat_get_table_privilege(cat_of(r), r.a->n[0], r.a->n[1], r.tx);
  if (p == nullptr) return reply_failed(r.s, "Privilege for table id %u not found", r.a->n[0]);
  reply_success(r.s);
  Buffer_Put_u32(r.b, p->gid);
  Buffer_Put_u32(r.b, p->tableid);
  Buffer_Put_u32(r.b, p->map);
  free(p);
  return done(r);
}

int add_column(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_COLUMN c{a.n[0], a.n[1], text(a.name), a.c[0], a.n[2], a.n[3], a.n[4], a.n[5]};
  if (SysCat_add_column(cat_of(r), &c, r.tx) != 0)
    return reply_failed(r.s, "Failed to add column \"%s\"", a.name);
  return ok_u32(r, c.colid);
}

int get_column_by_id(Req& r) {
  SysCat_COLUMN* c = SysCat_get_column_by_id(cat_of(r), r.a->n[0], r.tx);
  if (c == nullptr) return reply_failed(r.s, "Column id %u not found", r.a->n[0]);
  reply_success(r.s);
  Buffer_Put_u32(r.b, c->colid);
  Buffer_Put_u32(r.b, c->tableid);
  Buffer_Put_str(r.b, shown(c->name));
  Buffer_Put_u8(r.b, static_cast<uint8_t>(c->coltype));
  Buffer_Put_u32(r.b, c->size);
  Buffer_Put_u32(r.b, c->elements);
  Buffer_Put_u32(r.b, c->flags);
  Buffer_Put_u32(r.b, c->format);
  free(c);
  return done(r);
}

int add_index(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_INDEX x{a.n[0], a.n[1], text(a.name), a.n[2], a.n[3], a.c[0], a.n[4]};
  if (SysCat_add_index(cat_of(r), &x, r.tx) != 0)
    return reply_failed(r.s, "Failed to add index \"%s\"", a.name);
  return ok_u32(r, x.idxid);
}

int get_index_by_id(Req& r) {
  SysCat_INDEX* x = SysCat_get_index_by_id(cat_of(r), r.a->n[0], r.tx);
  if (x == nullptr) return reply_failed(r.s, "Index id %u not found", r.a->n[0]);
  reply_success(r.s);
  Buffer_Put_u32(r.b, x->idxid);
  Buffer_Put_u32(r.b, x->tableid);
  Buffer_Put_str(r.b, shown(x->name));
  Buffer_Put_u32(r.b, x->type);
  Buffer_Put_u32(r.b, x->flags);
  Buffer_Put_u8(r.b, static_cast<uint8_t>(x->nseg));
  Buffer_Put_u32(r.b, x->nodeid);
  free(x);
  return done(r);
}

// h, i32 idxid, u8 length, i32 colid, i32 idx, u32 flags.
int add_indexseg(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_INDEXSEG sg{a.n[0], a.n[2], a.n[1], a.c[0], a.n[3]};
  if (SysCat_add_indexseg(cat_of(r), &sg, r.tx) != 0)
    return reply_failed(r.s, "Failed to add index segment");
  return ok_empty(r);
}

int add_table(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_TABLE t{a.n[0], a.n[1], text(a.name), a.n[2], a.n[3], a.w[0], a.w[1], a.w[2], a.n[4]};
  if (SysCat_add_table(cat_of(r), &t, r.tx) != 0)
    return reply_failed(r.s, "Failed to add table \"%s\"", a.name);
  return ok_u32(r, t.tableid);
}

int get_table_by_id(Req& r) {
  SysCat_TABLE* t = SysCat_get_table_by_id(cat_of(r), r.a->n[0], r.tx);
  if (t == nullptr) return reply_failed(r.s, "Table id %u not found", r.a->n[0]);
  reply_success(r.s);
  Buffer_Put_u32(r.b, t->tableid);
  Buffer_Put_u32(r.b, t->uid);
  Buffer_Put_str(r.b, shown(t->name));
  Buffer_Put_u32(r.b, t->type);
  Buffer_Put_u32(r.b, t->flags);
  Buffer_Put_u16(r.b, static_cast<uint16_t>(t->ncols));
  Buffer_Put_u16(r.b, static_cast<uint16_t>(t->npath));
  Buffer_Put_u16(r.b, static_cast<uint16_t>(t->nidx));
  Buffer_Put_u32(r.b, t->nodeid);
  free(t);
  return done(r);
}

int add_tablecolumn(Req& r) {
  SysCat_TABLECOLUMN tc{r.a->n[0], r.a->n[1], r.a->n[2], 0};
  if (SysCat_add_tablecolumn(cat_of(r), &tc, r.tx) != 0)
    return reply_failed(r.s, "Failed to add table column");
  return ok_empty(r);
}

// h, i32 tableid, i32 idx, i32 colid, i32 sortcolid, and optionally i32
// linkedtableid, i32 linkedidx, i32 linkedcolid (else derived).
int add_tablepath(Req& r) {
  const SyscatArgs& a = *r.a;
  SysCat_TABLEPATH tp{a.n[0], a.n[1], a.n[2], 0, 0, 0, a.n[3]};
  if (a.extra) {
    tp.linkedtableid = a.n[4];
    tp.linkedidx = a.n[5];
    tp.linkedcolid = a.n[6];
  } else if (syscat_derive_path(cat_of(r), &tp, r.tx) != 0) {
    return reply_failed(r.s, "Failed to add table path");
  }
  debug_log('P', 2, " linkedtableid = %u linkedidx = %u linkedcolid = %u", tp.linkedtableid,
            tp.linkedidx, tp.linkedcolid);
  if (SysCat_add_tablepath(cat_of(r), &tp, r.tx) != 0)
    return reply_failed(r.s, "Failed to add table path");
  return ok_empty(r);
}

int add_tableindex(Req& r) {
  SysCat_TABLEINDEX ti{r.a->n[0], r.a->n[1], 0, 0};
  if (SysCat_add_tableindex(cat_of(r), &ti, r.tx) != 0)
    return reply_failed(r.s, "Failed to add table index");
  return ok_empty(r);
}

int get_tableindex_by_id(Req& r) {
  SysCat_TABLEINDEX* ti = SysCat_get_tableindex_by_id(cat_of(r), r.a->n[0], r.a->n[1], r.tx);
  if (ti == nullptr) return reply_failed(r.s, "Table index not found");
  reply_success(r.s);
  Buffer_Put_u32(r.b, ti->tableid);
  Buffer_Put_u32(r.b, ti->idxid);
  Buffer_Put_u32(r.b, ti->collid);
  free(ti);
  return done(r);
}

// --- Queries ------------------------------------------------------------------------------

int select_req(Req& r) {
  const SyscatArgs& a = *r.a;
  const int32_t sys_id = static_cast<int32_t>(a.n[0]);
  int why = kMapNone;
  CatalogQueryMap* q = syscat_new_qry_map(r.s, &why);
  if (q == nullptr) {
    if (why == kMapNoMemory) {
      debug_log('P', 0, "syscat_new_qry_map() failed: heap overflow - closing the connection");
      return -1;
    }
    return reply_failed(r.s, "No more query slots available");
  }
  q->db = r.map;
  SysCat_DB_CATALOG* cat = r.map != nullptr ? r.map->cat : nullptr;
  q->descr = SysCat_table_descr(cat, sys_id);
  if (q->descr == nullptr) {
    syscat_free_qry_map(r.s, q);
    return reply_failed(r.s, "System table id %d not found", sys_id);
  }
  if (a.w[0] != 0) {  // only SysSelect_ALL
    syscat_free_qry_map(r.s, q);
    return reply_failed(r.s, "Filter id %d not recognized", a.w[0]);
  }
  const int count = SysCat_entry_cnt(cat, sys_id, r.tx);
  if (count < 0) {
    syscat_free_qry_map(r.s, q);
    return reply_failed(r.s, "System table id %d not found", sys_id);
  }
  q->sys_id = static_cast<uint32_t>(sys_id);
  q->count = static_cast<uint32_t>(count);
  debug_log('P', 2, " qry_hndl = %d", q->handle);
  const SysCat_TABLE_DESCR* d = q->descr;
  reply_success(r.s);
  Buffer_Put_u16(r.b, q->handle);
  Buffer_Put_str(r.b, d->name);
  Buffer_Put_u32(r.b, d->tab_flags);
  Buffer_Put_i32(r.b, static_cast<int32_t>(d->rec_size));
  Buffer_Put_i32(r.b, count);
  Buffer_Put_i32(r.b, static_cast<int32_t>(d->tab_ncols));
  for (uint32_t i = 0; i < d->tab_ncols; ++i) {
    Buffer_Put_str(r.b, d->cols[i].col_name);
    Buffer_Put_u8(r.b, static_cast<uint8_t>(d->cols[i].col_type));
    Buffer_Put_u32(r.b, d->cols[i].col_size);
    Buffer_Put_i32(r.b, static_cast<int32_t>(d->cols[i].col_flags));
  }
  return done(r);
}

void put_addr(Buffer* b, const Node_ADDR& at) {
  Buffer_Put_u32(b, at.cluster);
  Buffer_Put_u16(b, at.offset);
  Buffer_Put_u16(b, at.size);
}

// The row packed by the table's static description, as SELECT described
// it to the client. The packed size, or -1.
int pack_static(const SysCat_TABLE_DESCR* d, int sys_id, const void* row, std::vector<uint8_t>* out) {
  SysCat_NODE_DESCR nd;
  nd.d = *d;
  nd.cols.assign(d->cols, d->cols + d->tab_ncols);
  for (uint32_t i = 0; i < d->tab_ncols; ++i) nd.cols[i].node_idx = static_cast<int32_t>(i);
  nd.d.cols = nd.cols.data();
  SysCat_MAP entry{sys_id, d, &nd, nullptr};
  out->resize(64 * 1024);
  return pack_col_val(out->data(), out->size(), &entry, row);
}

int fetch(Req& r) {
  CatalogQueryMap* q = syscat_find_qry_map(r.s, r.a->h);
  if (q == nullptr) return reply_failed(r.s, "Query handle %d not found", r.a->h);
  SysCat_DB_CATALOG* cat = q->db != nullptr ? q->db->cat : nullptr;
  void* row = nullptr;
  const int rc = SysCat_get(cat, static_cast<int>(q->sys_id),
                            q->started ? SysCat_GET_NEXT : SysCat_GET_FIRST, nullptr, &q->state,
                            &row, r.tx);
  if (rc != 0) return reply_failed(r.s, "Failed to fetch system catalog record");
  q->started = 1;
  ++q->fetched;
  if (q->sys_id == SysUser_ID && cat == nullptr) {
    // The digest lies in the row's own block: dropping the pointer is enough.
    auto* u = static_cast<SysCat_USER*>(row);
    if (!may_see_digest(r, u)) u->password = nullptr;
  }
  std::vector<uint8_t> packed;
  const int n = pack_static(q->descr, static_cast<int>(q->sys_id), row, &packed);
  free(row);
  if (n < 0) return reply_failed(r.s, "Failed to fetch system catalog record");
  const SysCat_TABLE_DESCR* d = q->descr;
  const bool last = q->fetched >= q->count;
  reply_success(r.s);
  Buffer_Put_u32(r.b, q->sys_id);
  Buffer_Put_u8(r.b, static_cast<uint8_t>(d->tab_rev));
  Buffer_Put_u8(r.b, static_cast<uint8_t>(d->tab_ncols));
  Buffer_Put_u8(r.b, static_cast<uint8_t>(d->tab_flags));
  Buffer_Put_u32(r.b, q->fetched);
  Buffer_Put_u32(r.b, q->count);
  put_addr(r.b, q->state.curr);
  put_addr(r.b, q->state.next);
  Buffer_Put_u8(r.b, last ? 1 : 0);
  Buffer_Put_u8(r.b, 0);
  Buffer_Put_align(r.b, 4);
  if (uint8_t* p = Buffer_Put_obj(r.b, static_cast<uint32_t>(n))) memcpy(p, packed.data(), n);
  Buffer_Put_u32(r.b, d->rec_size);
  return done(r);
}

int close_query(Req& r) {
  CatalogQueryMap* q = syscat_find_qry_map(r.s, r.a->h);
  if (q == nullptr) return reply_failed(r.s, "Query handle %d not found", r.a->h);
  syscat_free_qry_map(r.s, q);
  return ok_empty(r);
}

// --- The request table --------------------------------------------------------------------

constexpr const char* kUser = "isaoi";
constexpr const char* kGroup = "hisi";
constexpr const char* kCollate = "isiiiao";

const Row kRows[kSyscatTypes] = {
    {"ADD_OBJECT", "syscat_req_add_object()", "iisi", H_NONE, CK_A | CK_T, add_object},
    {"GET_OBJECT_BY_NAME", "syscat_req_get_object_by_name()", "s", H_NONE, 0, get_object_by_name},
    {"GET_OBJECT_BY_ID", "syscat_req_get_object_by_id()", "i", H_NONE, 0, get_object_by_id},
    {"GET_VOL_BY_ID", "syscat_req_get_vol_by_id()", "i", H_NONE, 0, get_vol_by_id},
    {"ADD_VAT", "syscat_req_add_vat()", "iisii", H_NONE, CK_A | CK_T, add_vat},
    {"GET_VAT_BY_NAME", "syscat_req_get_vat_by_name()", "s", H_NONE, 0, get_vat_by_name},
    {"GET_VAT_BY_ID", "syscat_req_get_vat_by_id()", "i", H_NONE, 0, get_vat_by_id},
    {"ADD_USER", "syscat_req_add_user()", kUser, H_NONE, CK_U | CK_T, add_user},
    {"GET_USER_BY_NAME", "syscat_req_get_user_by_name()", "s", H_NONE, 0, get_user_by_name},
    {"GET_USER_BY_ID", "syscat_req_get_user_by_id()", "i", H_NONE, 0, get_user_by_id},
    {"ADD_DB", "syscat_req_add_db()", "isi", H_NONE, CK_A | CK_T, add_db_req},
    {"DEL_DB", "syscat_req_del_db()", "isi", H_NONE, CK_A | CK_T, del_db_req},
    {"GET_DB_BY_NAME", "syscat_req_get_db_by_name()", "sii", H_NONE, 0, get_db_by_name},
    {"GET_DB_BY_ID", "syscat_req_get_db_by_id()", "i", H_NONE, 0, get_db_by_id},
    {"OPEN_DB_BY_NAME", "syscat_req_open_db_by_name()", "sii", H_NONE, 0, open_db_by_name},
    {"OPEN_DB_BY_ID", "syscat_req_open_db_by_id()", "i", H_NONE, 0, open_db_by_id},
    {"CLOSE_DB", "syscat_req_close_db()", "h", H_DB, 0, close_db},
    {"ADD_COLLATE", "syscat_req_add_collate()", kCollate, H_NONE, CK_A | CK_T, add_collate},
    {"GET_COLLATE_BY_NAME", "syscat_req_get_collate_by_name()", "s", H_NONE, 0, get_collate_by_name},
    {"GET_COLLATE_BY_ID", "syscat_req_get_collate_by_id()", "i", H_NONE, 0, get_collate_by_id},
    {"ADD_GROUP", "syscat_req_add_group()", kGroup, H_DB, CK_G | CK_T, add_group},
    {"GET_GROUP_BY_NAME", "syscat_req_get_group_by_name()", "", H_NONE, 0, get_group_by_name},
    {"GET_GROUP_BY_ID", "syscat_req_get_group_by_id()", "hi", H_DB, 0, get_group_by_id},
    {"ADD_MEMBER", "syscat_req_add_member()", "hii", H_DB, CK_G | CK_T, add_member},
    {"ADD_PRIVILEGE", "syscat_req_add_privilege()", "hiii", H_DB, CK_G | CK_T, add_privilege},
    {"GET_TABLE_PRIVILEGE", "syscat_req_get_table_privilege()", "hii", H_DB, 0, get_table_privilege},
    {"ADD_COLUMN", "syscat_req_add_column()", "hiisbiiii", H_DB, CK_D | CK_T, add_column},
    {"GET_COLUMN_BY_NAME", "syscat_req_get_column_by_name()", "", H_NONE, 0, get_column_by_name},
    {"GET_COLUMN_BY_ID", "syscat_req_get_column_by_id()", "hi", H_DB, 0, get_column_by_id},
    {"ADD_INDEX", "syscat_req_add_index()", "hiisiibi", H_DB, CK_D | CK_T, add_index},
    {"GET_INDEX_BY_NAME", "syscat_req_get_index_by_name()", "", H_NONE, 0, get_index_by_name},
    {"GET_INDEX_BY_ID", "syscat_req_get_index_by_id()", "hi", H_DB, 0, get_index_by_id},
    {"ADD_INDEXSEG", "syscat_req_add_indexseg()", "hibiii", H_DB, CK_D | CK_T, add_indexseg},
    {"ADD_TABLE", "syscat_req_add_table()", "hiisiiwwwi", H_DB, CK_D | CK_T, add_table},
    {"GET_TABLE_BY_NAME", "syscat_req_get_table_by_name()", "", H_NONE, 0, get_table_by_name},
    {"GET_TABLE_BY_ID", "syscat_req_get_table_by_id()", "hi", H_DB, 0, get_table_by_id},
    {"ADD_TABLECOLUMN", "syscat_req_add_tablecolumn()", "hiii", H_DB, CK_D | CK_T, add_tablecolumn},
    {"ADD_TABLEPATH", "syscat_req_add_tablepath()", "hiiii", H_DB, CK_D | CK_T, add_tablepath},
    {"ADD_TABLEINDEX", "syscat_req_add_tableindex()", "hii", H_DB, CK_D | CK_T, add_tableindex},
    {"GET_TABLEINDEX_BY_ID", "syscat_req_get_tableindex_by_id()", "hii", H_DB, 0,
     get_tableindex_by_id},
    {"SELECT", "syscat_req_select()", "hiw", H_DB_OR_SERVER, 0, select_req},
    {"FETCH", "syscat_req_fetch()", "h", H_QUERY, 0, fetch},
    {"CLOSE_QUERY", "syscat_req_close_query()", "h", H_QUERY, 0, close_query},
    {"UPD_USER", "syscat_req_upd_user()", kUser, H_NONE, CK_U | CK_T, upd_user},
    {"DEL_USER", "syscat_req_del_user()", kUser, H_NONE, CK_U | CK_T, del_user},
    {"UPD_GROUP", "syscat_req_upd_group()", kGroup, H_DB, CK_G | CK_T, upd_group},
    {"DEL_GROUP", "syscat_req_del_group()", kGroup, H_DB, CK_G | CK_T, del_group},
    {"DEL_MEMBER", "syscat_req_del_member()", "hii", H_DB, CK_G | CK_T, del_member},
    {"DEL_PRIVILEGE", "syscat_req_del_privilege()", "hiii", H_DB, CK_G | CK_T, del_privilege},
    {"GET_CLIENT_COLLATE_BY_ID", "syscat_req_get_client_collate_by_id()", "i", H_NONE, 0,
     get_client_collate_by_id},
    {"UPD_COLLATE", "syscat_req_upd_collate()", kCollate, H_NONE, CK_A | CK_T, upd_collate},
};

void log_args(const Row& row, const SyscatArgs& a) {
  if (!debug_enabled('P', 2)) return;
  debug_log('P', 2, "%s", row.context);
  if (row.handle == H_QUERY) debug_log('P', 2, " qry_hndl = %d", a.h);
  else if (row.handle != H_NONE) debug_log('P', 2, " db_hndl = %d", a.h);
  if (a.name != nullptr) debug_log('P', 2, " name = \"%s\"", LogText(a.name).c_str());
  for (int i = 0; i < a.nn; ++i) debug_log('P', 2, " arg[%d] = %u", i, a.n[i]);
}

// 0 when every check passes; otherwise the refusal is the reply (its
// result in *rc).
bool passes(Req& r, unsigned checks, int* rc) {
  const char* refusal = nullptr;
  if ((checks & CK_A) != 0 && !idb__chk_capability(r.db, 0))
    refusal = "Permission denied - dba capabilities required.";
  else if ((checks & CK_U) != 0 && !idb__chk_capability(r.db, 1))
    refusal = "Permission denied - User admin capabilities required.";
  else if ((checks & CK_D) != 0 && (r.map->privs & kCatPrivDbAdmin) == 0)
    refusal = "Permission denied. DB admin capabilities required";
  else if ((checks & CK_G) != 0 && (r.map->privs & kCatPrivGroupAdmin) == 0)
    refusal = "Permission denied. Group admin capabilities required";
  else if ((checks & CK_T) != 0 && r.tx == nullptr)
    refusal = "Internal failure - no current transaction.";
  else if ((checks & CK_T) != 0 && dbml_tx_precommitted(r.db))
    // Work joining a sealed transaction would be lost at its final commit.
    refusal = "Internal failure - current transaction is pre-committed.";
  if (refusal == nullptr) return true;
  *rc = reply_failed(r.s, "%s", refusal);
  return false;
}

}  // namespace

const char* syscat_request_name(int type) {
  return type >= 1 && type <= kSyscatTypes ? kRows[type - 1].name : "** unknown **";
}

int syscat_decode(Buffer* b, int type, SyscatArgs* a) {
  *a = SyscatArgs{};
  if (type < 1 || type > kSyscatTypes) return -1;
  if (decode_layout(b, kRows[type - 1].layout, a) != 0) return -1;
  // The linked fields of a path travel when the request carries them.
  if (type == SC_ADD_TABLEPATH && b->recv_pos < b->recv_size) {
    a->extra = 1;
    if (decode_layout(b, "iii", a) != 0) return -1;
  }
  return 0;
}

int syscat_request(ClientSession* session) {
  Buffer* b = &session->buffer;
  uint16_t type = 0;
  if (Buffer_Get_u16(b, &type) != 0) return -1;
  debug_log('P', 2, "Processing SYSCAT request type %d (%s)", type, syscat_request_name(type));
  ZENT_ASSERT(session->db_session != nullptr && "session->db_session");
  // Each request's failure reply carries its own status code, not one a
  // former request left behind.
  thread_set_error(0);
  if (idb__get_uid(session->db_session) == 0) {
    debug_log('P', 1, "client failure: no logon");
    return reply_failed(session, "client failure: no logon");
  }
  if (type < 1 || type > kSyscatTypes) {
    debug_log('P', 1, "Unsupported SYSCAT request %d", type);
    return reply_failed(session, "Unsupported SYSCAT request %d", type);
  }
  const Row& row = kRows[type - 1];
  Buffer_SetContext(b, row.context);
  SyscatArgs args;
  if (syscat_decode(b, type, &args) != 0) return -1;
  log_args(row, args);
  Req r{session, b, session->db_session, open_tx(session->db_session), nullptr, &args};
  if (row.handle == H_DB || (row.handle == H_DB_OR_SERVER && args.h != 0)) {
    r.map = syscat_find_map(session, args.h);
    if (r.map == nullptr) return reply_failed(session, "Database handle %d not found", args.h);
  }
  int rc = 0;
  if (!passes(r, row.checks, &rc)) return rc;
  return row.run(r);
}
