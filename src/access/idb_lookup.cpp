// idb_lookup.cpp - name lookup and the media record layout (see
// idb_lookup.h).
//
// State: none; the tables are the schema's. Nothing here suspends or
// allocates.
#include "access/idb_lookup.h"

#include <cctype>
#include <cstring>

#include "base/panic.h"

namespace {

int32_t reference_number(const void* reference) {
  int32_t n;
  memcpy(&n, reference, sizeof n);
  return n;
}

uint32_t round4(uint32_t n) { return (n + 3u) & ~3u; }

// The 16-byte key of a name: blanks, the name's characters, upper case.
// False when the name has no character or no end within 16.
bool make_key(const char* name, int max, char* key) {
  if (name == nullptr) return false;
  const int len = idb__name_len(name, max < IDB_NAME_LEN ? max : IDB_NAME_LEN);
  // A name fills at most 15 characters and ends within 16: one that runs to
  // the end of a shorter buffer has no end there.
  if (len == 0 || len >= IDB_NAME_LEN || len >= max) return false;
  memset(key, ' ', IDB_NAME_LEN);
  memcpy(key, name, static_cast<size_t>(len));
  idb__upcase(key, len);
  return true;
}

int find(const idb_hash* table, int n, const char* name, int max = IDB_NAME_LEN) {
  if (n <= 0 || table == nullptr) return -1;
  char key[IDB_NAME_LEN];
  if (!make_key(name, max, key)) return -1;
  return idb__hash_find(table, n, key);
}

}  // namespace

int idb__name_len(const char* text, int max) {
  int n = 0;
  while (n < max && text[n] != '\0' && text[n] != ' ' && text[n] != ';') ++n;
  return n;
}

void idb__upcase(char* text, int max) {
  for (int i = 0; i < max && text[i] != '\0'; ++i)
    text[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
}

int idb__name_hash(const char* name, int len, int n) {
  uint32_t sum = 0;
  for (int i = 0; i < len && name[i] != ' '; ++i) sum += static_cast<uint8_t>(name[i]) & 31u;
  return static_cast<int>(sum % static_cast<uint32_t>(n));
}

void idb__hash_build(idb_hash* table, int n, const char* const* names) {
  for (int i = 0; i < n; ++i) table[i] = idb_hash{nullptr, -1, nullptr};
  for (int i = 0; i < n; ++i) {
    idb_hash* home = &table[idb__name_hash(names[i], IDB_NAME_LEN, n)];
    if (home->name == nullptr) {
      *home = idb_hash{names[i], i, nullptr};
      continue;
    }
    idb_hash* slot = home;
    do {
      slot = slot + 1 == table + n ? table : slot + 1;
    } while (slot->name != nullptr);
    *slot = idb_hash{names[i], i, home->next};
    home->next = slot;
  }
}

int idb__hash_find(const idb_hash* table, int n, const char* key) {
  for (const idb_hash* h = &table[idb__name_hash(key, IDB_NAME_LEN, n)];
       h != nullptr && h->name != nullptr; h = h->next)
    if (memcmp(h->name, key, IDB_NAME_LEN) == 0) return h->index;
  return -1;
}

int idb__find_set(const global* g, const char* name) {
  return find(g->set_hash, g->set_cnt, name);
}

int idb__find_item(const global* g, const char* name) {
  return find(g->item_hash, g->item_cnt, name);
}

int idb__find_iitem(const global* g, const char* name) {
  const int i = find(g->iitem_hash, g->iitem_cnt, name);
  return i < 0 ? -1 : i + g->item_cnt;
}

int idb__set_number(const global* g, const void* reference, int size) {
  const int32_t n = reference_number(reference);
  if (n >= 1 && n <= g->set_cnt) return n - 1;
  return find(g->set_hash, g->set_cnt, static_cast<const char*>(reference), size);
}

int idb__item_number(const global* g, const void* reference, int size) {
  const int32_t n = reference_number(reference);
  if (n >= 1 && n <= g->item_cnt) return n - 1;
  return find(g->item_hash, g->item_cnt, static_cast<const char*>(reference), size);
}

int idb__iitem_number(const global* g, const void* reference, int size) {
  const int32_t n = reference_number(reference);
  if (n > g->item_cnt && n <= g->item_cnt + g->iitem_cnt) return n - 1;
  const int i = find(g->iitem_hash, g->iitem_cnt, static_cast<const char*>(reference), size);
  return i < 0 ? -1 : i + g->item_cnt;
}

uint32_t media_len(const idb_set* set) {
  if (set->s.path_cnt == 0 && set->s.index_cnt == 0) return set->rec_len;
  const uint32_t per_path = set->s.type == 'D' ? 8u : 12u;
  return round4(set->rec_len) + (set->s.index_cnt > 0 ? 4u : 0u) + set->s.path_cnt * per_path;
}

uint8_t* idb__index_word_offset(const idb_set* set, uint8_t* base) {
  ZENT_ASSERT(set->s.index_cnt && "set->s.index_cnt");
  return base + round4(set->rec_len);
}

uint8_t* idb__path_area(const idb_set* set, uint8_t* base) {
  ZENT_ASSERT(set->s.path_cnt && "set->s.path_cnt");
  return base + round4(set->rec_len) + (set->s.index_cnt > 0 ? 4u : 0u);
}
