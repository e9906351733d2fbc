// cfg_file.h - what the share table and the user table have in common: an
// INI file of one section per record, its path, the modification time of
// the last good reading, and the rule for reading it again.
//
// Reading: when the file's modification time (to the nanosecond) equals the
// one of the last good reading nothing is done; otherwise the file is read
// from its start into a new set of records, which replaces the old set only
// when the whole file was read. A file that cannot be examined or read after
// a good reading leaves the records read before; one that cannot be read the
// first time is an error. Used by one thread at a time (the handler of one
// connection); the INI reader's slots are the process's.
#pragma once
#include <ctime>
#include <string>
#include <vector>

namespace zentsd {

// Splits a list value at commas, blanks and tabs, dropping empty pieces, and
// appends the pieces to out.
void cfg_split_list(const char* value, std::vector<std::string>* out);

class CfgFile {
 public:
  CfgFile() = default;
  virtual ~CfgFile() = default;
  CfgFile(const CfgFile&) = delete;
  CfgFile& operator=(const CfgFile&) = delete;

  // Replaces the path, forgets the last reading and reads the file at once:
  // 0, or -1 when it cannot be read.
  int SetFile(const char* path);
  // Reads the file again when its modification time changed: 0, or -1 when
  // no reading ever succeeded.
  int Refresh();
  const std::string& Path() const { return path_; }
  bool Loaded() const { return loaded_; }

 protected:
  // The log prefix ("ShareCFG", "UserCFG").
  virtual const char* Name() const = 0;
  // A new reading begins: the staging set is emptied.
  virtual void Begin() = 0;
  // A section (one record) begins in the staging set.
  virtual void Section(const char* name) = 0;
  // An item of the current section (name upper-cased by the reader).
  virtual void Item(const char* item, const char* value) = 0;
  // The whole file was read: the staging set replaces the records.
  virtual void Commit() = 0;

 private:
  int Read();

  std::string path_;
  timespec mtime_{};
  bool loaded_ = false;
};

}  // namespace zentsd
