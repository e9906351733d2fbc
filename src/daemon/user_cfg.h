// user_cfg.h - the user table (`UserCFG`): one section of the user file per
// user id, and the lookup that fills a user's record from its profiles.
//
// Lookup: the record of the id (any case), then, for what it lacks, the
// record named by its `Profile` (or "default" when it has none), then that
// record's own `Profile`, and so on. The chain ends at a name that is the
// user's own id, names no record, was used before in the chain, or at a
// record without `Profile`. Filled values are written into the table's
// record and stay there until the file is read again.
#pragma once
#include <string>
#include <vector>

#include "daemon/cfg_file.h"

namespace zentsd {

struct User {
  std::string id;     // the section name (upper case)
  std::string name;   // `Name`
  std::string email;  // `EMail`
  std::string uid;    // `UID`: the system account, "" unset
  std::vector<std::string> allow;    // `Allow`
  std::vector<std::string> deny;     // `Deny`
  std::vector<std::string> options;  // `Options`
  std::string profile;               // `Profile`
};

class UserCFG : public CfgFile {
 public:
  // The users in the file's order (after Refresh).
  const std::vector<User>& Users() const { return users_; }
  // The user's record filled from its profiles, copied to out; false when
  // the file cannot be read or has no such user.
  bool Lookup(const char* id, User* out);

 protected:
  const char* Name() const override { return "UserCFG"; }
  void Begin() override { staging_.clear(); }
  void Section(const char* name) override;
  void Item(const char* item, const char* value) override;
  void Commit() override { users_.swap(staging_); staging_.clear(); }

 private:
  User* FindRecord(const std::string& id);

  std::vector<User> users_;
  std::vector<User> staging_;
};

}  // namespace zentsd
