// record_model.cpp - the record model of record_model.h.
#include "support/record_model.h"

#include <algorithm>
#include <cstring>

#include "access/idb_key.h"
#include "access/idb_lookup.h"
#include "access/idb_put.h"
#include "access/idb_status.h"
#include "index/btree.h"
#include "storage/disk_bytes.h"
#include "storage/fixrec.h"
#include "storage/node.h"

namespace testsupport {

namespace {

std::string str(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

std::string num(const char* what, long a, long b) {
  return std::string(what) + ": stored " + std::to_string(a) + ", model " + std::to_string(b);
}

// Every committed record of a set's file, by record number.
std::map<uint32_t, std::vector<uint8_t>> scan(const idb_set* set) {
  std::map<uint32_t, std::vector<uint8_t>> out;
  Node* node = set->s.node;
  if (node == nullptr || Node_Open(node) != 0) return out;
  std::vector<uint8_t> buf(media_len(set));
  FixRec_ITER iter;
  FixRec_InitIter(&iter);
  uint32_t recno = 0;
  for (int rc = FixRec_First(node, &recno, buf.data(), &iter, nullptr); rc == 0;
       rc = FixRec_Next(node, &recno, buf.data(), &iter, nullptr))
    out[recno] = buf;
  FixRec_ReleaseIter(&iter);
  Node_Close(node);
  return out;
}

// Every entry of a B-tree in key order: {key, record number}.
std::vector<std::pair<std::string, uint32_t>> walk(Node* tree, void* coll, btree_KEYDEF* kd) {
  std::vector<std::pair<std::string, uint32_t>> out;
  btree_CTX ctx{};
  btree_HANDLE* t = btree_OpenNode(tree, &ctx, BT_OPEN_RDONLY);
  if (t == nullptr) return out;
  btree_SetCompare(t, idb__bt_cmp, idb__bt_pfx, coll);
  if (kd != nullptr) *kd = *btree_GetKeyDef(t);
  btree_DBT k{}, d{};
  for (int rc = btree_Seq(t, &k, &d, BT_SEQ_FIRST); rc == RET_SUCCESS;
       rc = btree_Seq(t, &k, &d, BT_SEQ_NEXT))
    out.emplace_back(str(static_cast<const uint8_t*>(k.data), k.size),
                     le_get32(static_cast<const uint8_t*>(d.data)));
  btree_CloseNode(t);
  return out;
}

}  // namespace

std::string RecordModel::master_key(int setno, const std::vector<uint8_t>& rec) const {
  const idb_set& set = g_->set[setno];
  return str(rec.data() + set.offset[0], g_->item[set.entry[0].item].size);
}

std::string RecordModel::search_value(int setno, const std::vector<uint8_t>& rec, uint32_t p) const {
  const idb_set& set = g_->set[setno];
  const int32_t e = set.path[p].search;
  return str(rec.data() + set.offset[e], g_->item[set.entry[e].item].size);
}

std::vector<uint32_t>& RecordModel::chain(int setno, uint32_t p, const std::string& value) {
  SetModel& m = sets_[static_cast<size_t>(setno)];
  if (m.chains.size() < g_->set[setno].s.path_cnt) m.chains.resize(g_->set[setno].s.path_cnt);
  return m.chains[p][value];
}

const std::vector<uint32_t>* RecordModel::find_chain(int setno, uint32_t p,
                                                     const std::string& value) const {
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  if (p >= m.chains.size()) return nullptr;
  auto it = m.chains[p].find(value);
  return it == m.chains[p].end() ? nullptr : &it->second;
}

size_t RecordModel::insert_at(int setno, uint32_t p, const std::vector<uint32_t>& ch,
                              const std::vector<uint8_t>& rec) const {
  const idb_set& set = g_->set[setno];
  if (set.path[p].sort < 0) return ch.size();
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  size_t at = ch.size();
  while (at > 0 &&
         idb__cmp_entry(g_, &set, set.path[p].sort, m.recs.at(ch[at - 1]).user.data(), rec.data()) > 0)
    --at;
  return at;
}

int32_t RecordModel::expect_put(int setno, const std::vector<uint8_t>& rec) const {
  const idb_set& set = g_->set[setno];
  if (set.s.type != 'D')
    return sets_[static_cast<size_t>(setno)].by_key.count(master_key(setno, rec)) ? S_DUPL : 0;
  for (uint32_t p = 0; p < set.s.path_cnt; ++p) {
    const int ms = set.path[p].set;
    if (g_->set[ms].s.type == 'M' &&
        !sets_[static_cast<size_t>(ms)].by_key.count(search_value(setno, rec, p)))
      return S_NOHEAD + static_cast<int32_t>(p) + 1;
  }
  return 0;
}

void RecordModel::expect_links(int setno, const std::vector<uint8_t>& rec, uint32_t p,
                               uint32_t* fwd, uint32_t* bwd) const {
  const std::vector<uint32_t>* ch = find_chain(setno, p, search_value(setno, rec, p));
  *fwd = *bwd = 0;
  if (ch == nullptr) return;
  const size_t at = insert_at(setno, p, *ch, rec);
  if (at > 0) *bwd = (*ch)[at - 1];
  if (at < ch->size()) *fwd = (*ch)[at];
}

void RecordModel::link(int setno, uint32_t recno, uint32_t p, const std::vector<uint8_t>& user) {
  const idb_set& set = g_->set[setno];
  const std::string v = search_value(setno, user, p);
  std::vector<uint32_t>& ch = chain(setno, p, v);
  ch.insert(ch.begin() + static_cast<std::ptrdiff_t>(insert_at(setno, p, ch, user)), recno);
  SetModel& ms = sets_[static_cast<size_t>(set.path[p].set)];
  if (!ms.by_key.count(v)) {
    // An automatic master: its record number is learnt from the check.
    const idb_set& mset = g_->set[set.path[p].set];
    std::vector<uint8_t> auto_rec(mset.rec_len, 0);
    memcpy(auto_rec.data(), v.data(), v.size());
    ms.by_key[v] = 0;
    uint32_t fake = 0x80000000u;
    while (ms.recs.count(fake)) ++fake;
    ms.recs[fake] = Rec{auto_rec, 0};
  }
}

void RecordModel::put(int setno, const std::vector<uint8_t>& rec, uint32_t recno,
                      uint32_t index_word) {
  const idb_set& set = g_->set[setno];
  SetModel& m = sets_[static_cast<size_t>(setno)];
  std::vector<uint8_t> user(rec.begin(), rec.begin() + set.rec_len);
  if (set.s.type != 'D') m.by_key[master_key(setno, user)] = recno;
  // The record is known before it is linked: a sorted chain compares it.
  m.recs[recno] = Rec{user, index_word};
  for (uint32_t p = 0; set.s.type == 'D' && p < set.s.path_cnt; ++p) link(setno, recno, p, user);
}

bool RecordModel::master_busy(int ms, const std::string& v) const {
  for (int sn = 0; sn < g_->set_cnt; ++sn) {
    const idb_set& set = g_->set[sn];
    if (set.s.type != 'D') continue;
    for (uint32_t p = 0; p < set.s.path_cnt; ++p) {
      if (set.path[p].set != ms) continue;
      const std::vector<uint32_t>* ch = find_chain(sn, p, v);
      if (ch != nullptr && !ch->empty()) return true;
    }
  }
  return false;
}

void RecordModel::unlink(int setno, uint32_t recno, uint32_t p, bool keep) {
  const idb_set& set = g_->set[setno];
  SetModel& m = sets_[static_cast<size_t>(setno)];
  const std::string v = search_value(setno, m.recs.at(recno).user, p);
  std::vector<uint32_t>& ch = chain(setno, p, v);
  ch.erase(std::find(ch.begin(), ch.end(), recno));
  if (ch.empty()) m.chains[p].erase(v);
  const int ms = set.path[p].set;
  if (keep || g_->set[ms].s.type != 'A' || master_busy(ms, v)) return;
  SetModel& mm = sets_[static_cast<size_t>(ms)];
  mm.by_key.erase(v);
  for (auto it = mm.recs.begin(); it != mm.recs.end(); ++it)
    if (master_key(ms, it->second.user) == v) {
      mm.recs.erase(it);
      break;
    }
}

std::vector<bool> RecordModel::moved_paths(int setno, const std::vector<uint8_t>& old,
                                           const std::vector<uint8_t>& rec) const {
  const idb_set& set = g_->set[setno];
  std::vector<bool> out(set.s.type == 'D' ? set.s.path_cnt : 0, false);
  for (uint32_t p = 0; p < out.size(); ++p)
    out[p] = search_value(setno, old, p) != search_value(setno, rec, p) ||
             (set.path[p].sort >= 0 && idb__cmp_entry(g_, &set, set.path[p].sort, old.data(), rec.data()) != 0);
  return out;
}

int32_t RecordModel::expect_update(int setno, uint32_t recno, const std::vector<uint8_t>& rec,
                                   int32_t mode) const {
  const idb_set& set = g_->set[setno];
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  auto it = m.recs.find(recno);
  if (it == m.recs.end()) return S_NOREC;
  const std::vector<uint8_t>& old = it->second.user;
  if (set.s.type != 'D') {
    const std::string from = master_key(setno, old), to = master_key(setno, rec);
    if (from == to) return 0;
    if (mode == 1 || master_busy(setno, from)) return 41;
    return m.by_key.count(to) ? S_BTREE : 0;
  }
  const std::vector<bool> moved = moved_paths(setno, old, rec);
  const bool any = std::find(moved.begin(), moved.end(), true) != moved.end();
  if (any && mode == 1) return 41;
  for (uint32_t p = 0; p < moved.size(); ++p) {
    const int ms = set.path[p].set;
    if (moved[p] && g_->set[ms].s.type == 'M' &&
        !sets_[static_cast<size_t>(ms)].by_key.count(search_value(setno, rec, p)))
      return S_NOHEAD + static_cast<int32_t>(p) + 1;
  }
  return 0;
}

void RecordModel::update(int setno, uint32_t recno, const std::vector<uint8_t>& rec) {
  const idb_set& set = g_->set[setno];
  SetModel& m = sets_[static_cast<size_t>(setno)];
  std::vector<uint8_t> user(rec.begin(), rec.begin() + set.rec_len);
  Rec& r = m.recs.at(recno);
  if (set.s.type != 'D') {
    m.by_key.erase(master_key(setno, r.user));
    m.by_key[master_key(setno, user)] = recno;
    r.user = user;
    return;
  }
  const std::vector<bool> moved = moved_paths(setno, r.user, user);
  for (uint32_t p = 0; p < moved.size(); ++p)
    if (moved[p]) unlink(setno, recno, p, search_value(setno, r.user, p) == search_value(setno, user, p));
  m.recs.at(recno).user = user;
  for (uint32_t p = 0; p < moved.size(); ++p)
    if (moved[p]) link(setno, recno, p, user);
}

int32_t RecordModel::expect_delete(int setno, uint32_t recno) const {
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  auto it = m.recs.find(recno);
  if (it == m.recs.end()) return S_NOREC;
  if (g_->set[setno].s.type != 'D' && master_busy(setno, master_key(setno, it->second.user)))
    return S_CANTDEL;
  return 0;
}

void RecordModel::remove(int setno, uint32_t recno) {
  const idb_set& set = g_->set[setno];
  SetModel& m = sets_[static_cast<size_t>(setno)];
  if (set.s.type != 'D') {
    m.by_key.erase(master_key(setno, m.recs.at(recno).user));
  } else {
    for (uint32_t p = 0; p < set.s.path_cnt; ++p) unlink(setno, recno, p, false);
  }
  m.recs.erase(recno);
}

void RecordModel::links(int setno, uint32_t recno, uint32_t p, uint32_t* fwd, uint32_t* bwd) const {
  *fwd = *bwd = 0;
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  auto it = m.recs.find(recno);
  if (it == m.recs.end()) return;
  const std::vector<uint32_t>* ch = find_chain(setno, p, search_value(setno, it->second.user, p));
  if (ch == nullptr) return;
  auto at = std::find(ch->begin(), ch->end(), recno);
  if (at == ch->end()) return;
  if (at != ch->begin()) *bwd = *(at - 1);
  if (at + 1 != ch->end()) *fwd = *(at + 1);
}

std::vector<uint32_t> RecordModel::recnos(int setno) const {
  std::vector<uint32_t> out;
  for (auto& [recno, r] : sets_[static_cast<size_t>(setno)].recs)
    if (recno < 0x80000000u) out.push_back(recno);
  return out;
}

std::vector<uint8_t> RecordModel::user(int setno, uint32_t recno) const {
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  auto it = m.recs.find(recno);
  return it == m.recs.end() ? std::vector<uint8_t>{} : it->second.user;
}

std::string RecordModel::load() {
  for (int sn = 0; sn < g_->set_cnt; ++sn) {
    const idb_set& set = g_->set[sn];
    sets_[static_cast<size_t>(sn)] = SetModel{};
    if (set.s.type == 'D') sets_[static_cast<size_t>(sn)].chains.resize(set.s.path_cnt);
    for (auto& [recno, media] : scan(&set)) {
      Rec r{std::vector<uint8_t>(media.begin(), media.begin() + set.rec_len), 0};
      if (set.s.index_cnt > 0) r.index_word = le_get32(idb__index_word_offset(&set, media.data()));
      if (set.s.type != 'D') sets_[static_cast<size_t>(sn)].by_key[master_key(sn, r.user)] = recno;
      sets_[static_cast<size_t>(sn)].recs[recno] = r;
    }
  }
  // Chains in the order their links give, from each master's first record.
  for (int sn = 0; sn < g_->set_cnt; ++sn) {
    const idb_set& set = g_->set[sn];
    if (set.s.type != 'D') continue;
    const auto stored = scan(&set);
    for (uint32_t p = 0; p < set.s.path_cnt; ++p) {
      std::map<std::string, uint32_t> heads;
      for (auto& [recno, media] : stored)
        if (le_get32(idb__path_area(&set, const_cast<uint8_t*>(media.data())) + 8 * p + 4) == 0)
          heads[search_value(sn, media, p)] = recno;
      for (auto& [value, first] : heads) {
        std::vector<uint32_t>& ch = chain(sn, p, value);
        for (uint32_t at = first; at != 0 && ch.size() <= stored.size();) {
          ch.push_back(at);
          auto it = stored.find(at);
          if (it == stored.end()) return "chain leads to a missing record";
          at = le_get32(idb__path_area(&set, const_cast<uint8_t*>(it->second.data())) + 8 * p);
        }
      }
    }
  }
  return "";
}

std::string RecordModel::check_set(int setno) const {
  const idb_set& set = g_->set[setno];
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  const auto stored = scan(&set);
  const std::string name = str(reinterpret_cast<const uint8_t*>(set.s.name), 16);
  if (set.s.type != 'D') {
    if (stored.size() != m.by_key.size())
      return name + num(" records", static_cast<long>(stored.size()), static_cast<long>(m.by_key.size()));
    for (auto& [recno, media] : stored) {
      const std::string key = master_key(setno, media);
      auto it = m.by_key.find(key);
      if (it == m.by_key.end()) return name + " holds a master the model lacks: " + key;
      if (it->second != 0 && it->second != recno) return name + num(" master recno", recno, it->second);
      for (auto& [r, rec] : m.recs)
        if (master_key(setno, rec.user) == key &&
            memcmp(rec.user.data(), media.data(), set.rec_len) != 0)
          return name + " master " + std::to_string(recno) + ": user record differs";
    }
    return "";
  }
  if (stored.size() != m.recs.size())
    return name + num(" records", static_cast<long>(stored.size()), static_cast<long>(m.recs.size()));
  for (auto& [recno, media] : stored) {
    auto it = m.recs.find(recno);
    if (it == m.recs.end()) return name + " holds record " + std::to_string(recno) + " the model lacks";
    if (memcmp(it->second.user.data(), media.data(), set.rec_len) != 0)
      return name + " record " + std::to_string(recno) + ": user record differs";
    if (set.s.index_cnt > 0 &&
        le_get32(idb__index_word_offset(&set, const_cast<uint8_t*>(media.data()))) != it->second.index_word)
      return name + " record " + std::to_string(recno) + ": index word differs";
  }
  return "";
}

std::string RecordModel::check_chains(int setno) const {
  const idb_set& set = g_->set[setno];
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  const auto stored = scan(&set);
  for (uint32_t p = 0; p < set.s.path_cnt; ++p) {
    if (p >= m.chains.size()) break;
    const idb_set& mset = g_->set[set.path[p].set];
    const auto masters = scan(&mset);
    std::map<std::string, const std::vector<uint8_t>*> by_key;
    for (auto& [r, media] : masters) by_key[master_key(set.path[p].set, media)] = &media;
    for (auto& [value, ch] : m.chains[p]) {
      const std::string where = "path " + std::to_string(p + 1) + " value " + value;
      auto mit = by_key.find(value);
      if (mit == by_key.end()) return where + ": no master";
      const uint8_t* head = idb__path_area(&mset, const_cast<uint8_t*>(mit->second->data())) +
                            12 * static_cast<uint32_t>(set.path[p].path);
      if (le_get32(head) != ch.size()) return where + num(": count", le_get32(head), static_cast<long>(ch.size()));
      const uint32_t first = ch.empty() ? 0 : ch.front(), last = ch.empty() ? 0 : ch.back();
      if (le_get32(head + 4) != first) return where + num(": first", le_get32(head + 4), first);
      if (le_get32(head + 8) != last) return where + num(": last", le_get32(head + 8), last);
      // Forward from first, backward from last: each link as the model has it.
      std::vector<uint32_t> fwd, bwd;
      for (uint32_t at = first; at != 0 && fwd.size() <= ch.size();) {
        fwd.push_back(at);
        auto it = stored.find(at);
        if (it == stored.end()) return where + ": forward link to a missing record";
        at = le_get32(idb__path_area(&set, const_cast<uint8_t*>(it->second.data())) + 8 * p);
      }
      for (uint32_t at = last; at != 0 && bwd.size() <= ch.size();) {
        bwd.insert(bwd.begin(), at);
        auto it = stored.find(at);
        if (it == stored.end()) return where + ": backward link to a missing record";
        at = le_get32(idb__path_area(&set, const_cast<uint8_t*>(it->second.data())) + 8 * p + 4);
      }
      if (fwd != ch) return where + ": forward walk differs";
      if (bwd != ch) return where + ": backward walk differs";
    }
  }
  return "";
}

std::string RecordModel::check_master(int setno) const {
  const idb_set& set = g_->set[setno];
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  const auto entries = walk(set.s.key.node, nullptr, nullptr);
  if (entries.size() != m.by_key.size())
    return "master key entries" + num("", static_cast<long>(entries.size()), static_cast<long>(m.by_key.size()));
  const auto stored = scan(&set);
  for (auto& [key, recno] : entries) {
    auto it = stored.find(recno);
    if (it == stored.end() || master_key(setno, it->second) != key)
      return "master key " + key + " names the wrong record";
    if (!m.by_key.count(key)) return "master key " + key + " not in the model";
  }
  // A master's chains with no record of its own on the detail side are
  // empty: every count of the model's chains was checked from the detail.
  for (auto& [recno, media] : stored)
    for (uint32_t mp = 0; mp < set.s.path_cnt; ++mp) {
      const idb_path& path = set.path[mp];
      const std::vector<uint32_t>* ch =
          find_chain(path.set, static_cast<uint32_t>(path.path), master_key(setno, media));
      const uint32_t count = le_get32(idb__path_area(&set, const_cast<uint8_t*>(media.data())) + 12 * mp);
      if (count != (ch ? ch->size() : 0)) return "master " + std::to_string(recno) + num(" count", count, ch ? static_cast<long>(ch->size()) : 0);
    }
  return "";
}

std::string RecordModel::check_indexes(int setno) const {
  const idb_set& set = g_->set[setno];
  const SetModel& m = sets_[static_cast<size_t>(setno)];
  for (uint32_t i = 0; i < set.s.index_cnt; ++i) {
    btree_KEYDEF kd;
    const auto entries = walk(set.index[i].node, set.index[i].coll, &kd);
    std::vector<std::pair<std::string, uint32_t>> want;
    std::vector<uint8_t> media(media_len(&set), 0);
    for (auto& [recno, rec] : m.recs) {
      std::fill(media.begin(), media.end(), 0);
      memcpy(media.data(), rec.user.data(), set.rec_len);
      le_put32(idb__index_word_offset(&set, media.data()), rec.index_word);
      uint8_t key[256];
      const uint32_t n = idb__build_key(&kd, key, sizeof key, media.data());
      want.emplace_back(str(key, n), recno);
    }
    void* coll = set.index[i].coll;
    std::sort(want.begin(), want.end(), [&](const auto& a, const auto& b) {
      const btree_DBT x{const_cast<char*>(a.first.data()), static_cast<uint32_t>(a.first.size())};
      const btree_DBT y{const_cast<char*>(b.first.data()), static_cast<uint32_t>(b.first.size())};
      return idb__bt_cmp(&kd, &x, &y, coll) < 0;
    });
    if (entries != want)
      return "index " + std::to_string(i) + num(" differs; entries", static_cast<long>(entries.size()),
                                                static_cast<long>(want.size()));
  }
  return "";
}

std::string RecordModel::check() const {
  for (int sn = 0; sn < g_->set_cnt; ++sn) {
    const idb_set& set = g_->set[sn];
    std::string e = check_set(sn);
    if (e.empty() && set.s.type == 'D') e = check_chains(sn);
    if (e.empty() && set.s.type != 'D') e = check_master(sn);
    if (e.empty()) e = check_indexes(sn);
    if (!e.empty()) return e;
  }
  return "";
}

const std::vector<uint8_t>* RecordModel::find_user(int setno, uint32_t recno) const {
  const auto& recs = sets_[static_cast<size_t>(setno)].recs;
  const auto it = recs.find(recno);
  return it == recs.end() ? nullptr : &it->second.user;
}

std::vector<uint32_t> RecordModel::chain_of(int setno, uint32_t p, const std::string& value) const {
  const std::vector<uint32_t>* c = find_chain(setno, p, value);
  return c != nullptr ? *c : std::vector<uint32_t>{};
}

std::vector<std::pair<std::string, uint32_t>> RecordModel::keys(int setno) const {
  const auto& by_key = sets_[static_cast<size_t>(setno)].by_key;
  return {by_key.begin(), by_key.end()};
}

}  // namespace testsupport
