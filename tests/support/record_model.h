// record_model.h - an in-memory model of a database's stored records for
// the tests of the calls that change them: the records of each set, the
// chains of each detail path in their order, the master entries that head
// them, and what every index must hold. It predicts the status of a change
// and checks the stored database against itself: the record files (serial
// reads), each chain forward and backward, each master's count, first and
// last, the master keys and every index entry.
//
// The model knows the schema (the `global` of an open database) and works
// on user records; the stored database is read outside any transaction,
// so only committed work is seen. Calls that change records (put, update
// and delete) keep the model in step after the database answered.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "access/schema_cache.h"

namespace testsupport {

class RecordModel {
 public:
  explicit RecordModel(const global* g) : g_(g), sets_(static_cast<size_t>(g->set_cnt)) {}

  // Reads what the database holds now into the model (its starting state).
  // Empty string, or what could not be read.
  std::string load();

  // What a put of user record rec into setno should answer: 0, S_DUPL
  // (a master key that is there), or S_NOHEAD + p + 1 (the first path
  // whose manual master is missing).
  int32_t expect_put(int setno, const std::vector<uint8_t>& rec) const;
  // The chain links {forward, backward} a put of rec would get on path p.
  void expect_links(int setno, const std::vector<uint8_t>& rec, uint32_t p, uint32_t* fwd,
                    uint32_t* bwd) const;
  // Records a put that the database made as recno (index word as stored).
  void put(int setno, const std::vector<uint8_t>& rec, uint32_t recno, uint32_t index_word);

  // What an update of record recno of setno to user record rec in mode
  // (1 or 2) should answer: 0, S_NOREC (no such record), 41 (a change
  // the mode or the master's chains do not allow), S_BTREE (a master key
  // that is there) or S_NOHEAD + p + 1 (a missing manual master).
  int32_t expect_update(int setno, uint32_t recno, const std::vector<uint8_t>& rec,
                        int32_t mode) const;
  // Records an update the database made: the record keeps its number and
  // index word; moved paths take it out of the old chains (an emptied
  // automatic master goes) and into the new ones.
  void update(int setno, uint32_t recno, const std::vector<uint8_t>& rec);
  // What a delete of record recno should answer: 0, S_NOREC or S_CANTDEL.
  int32_t expect_delete(int setno, uint32_t recno) const;
  // Records a delete the database made.
  void remove(int setno, uint32_t recno);
  // The links {forward, backward} of record recno on path p as the model
  // has its chain.
  void links(int setno, uint32_t recno, uint32_t p, uint32_t* fwd, uint32_t* bwd) const;
  // The record numbers of setno's stored records the model knows (automatic
  // masters excepted: the model learns theirs only from the check).
  std::vector<uint32_t> recnos(int setno) const;
  // The user record of recno (empty when there is none).
  std::vector<uint8_t> user(int setno, uint32_t recno) const;
  // The paths of a detail update from old to rec that move the record:
  // its search value changes, or on a sorted path its order.
  std::vector<bool> moved_paths(int setno, const std::vector<uint8_t>& old,
                                const std::vector<uint8_t>& rec) const;

  // Compares the stored database with the model. Empty string when they
  // agree, else the first difference.
  std::string check() const;

  // The master key of a master record, and the search value of a detail
  // record on path p (as bytes).
  std::string master_key(int setno, const std::vector<uint8_t>& rec) const;
  std::string search_value(int setno, const std::vector<uint8_t>& rec, uint32_t p) const;

  // The same database opened again (after a restart): another schema
  // record of the same shape.
  void rebind(const global* g) { g_ = g; }

  size_t records(int setno) const { return sets_[static_cast<size_t>(setno)].recs.size(); }
  // Reads for the scan tests: a user record (none when the number is
  // unused), a chain in order (empty when there is none) and the master
  // keys in byte order with their records.
  const std::vector<uint8_t>* find_user(int setno, uint32_t recno) const;
  std::vector<uint32_t> chain_of(int setno, uint32_t p, const std::string& value) const;
  std::vector<std::pair<std::string, uint32_t>> keys(int setno) const;
  const global* schema() const { return g_; }

 private:
  struct Rec {
    std::vector<uint8_t> user;
    uint32_t index_word = 0;
  };
  struct SetModel {
    std::map<uint32_t, Rec> recs;            // by record number
    std::map<std::string, uint32_t> by_key;  // masters: key -> record number
    // details: per path, the chain of each search value in order
    std::vector<std::map<std::string, std::vector<uint32_t>>> chains;
  };
  // Where rec goes in chain: after every record that compares not after it.
  size_t insert_at(int setno, uint32_t p, const std::vector<uint32_t>& chain,
                   const std::vector<uint8_t>& rec) const;
  std::vector<uint32_t>& chain(int setno, uint32_t p, const std::string& value);
  const std::vector<uint32_t>* find_chain(int setno, uint32_t p, const std::string& value) const;
  // Whether some chain hangs from master value v of master set ms.
  bool master_busy(int ms, const std::string& v) const;
  // Takes recno out of its chain on path p; an automatic master left
  // without chains goes unless keep.
  void unlink(int setno, uint32_t recno, uint32_t p, bool keep);
  // Links recno (user record rec) into its chain on path p; a missing
  // automatic master is made.
  void link(int setno, uint32_t recno, uint32_t p, const std::vector<uint8_t>& rec);
  std::string check_set(int setno) const;
  std::string check_chains(int setno) const;
  std::string check_master(int setno) const;
  std::string check_indexes(int setno) const;

  const global* g_;
  std::vector<SetModel> sets_;
};

}  // namespace testsupport
