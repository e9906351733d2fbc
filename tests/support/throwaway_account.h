// throwaway_account.h - a system account made for one test and removed
// after it: a user with a password, its own primary group and one more
// group it belongs to. Needs root (CI runs as root); otherwise ok() is
// false and why() says so, for GTEST_SKIP. Creation and removal are
// serialised across test processes by a lock file, since the account tools
// refuse to run while another holds the password files.
#pragma once
#include <sys/types.h>

#include <string>

namespace testsupport {

class ThrowawayAccount {
 public:
  ThrowawayAccount();
  ~ThrowawayAccount();
  ThrowawayAccount(const ThrowawayAccount&) = delete;
  ThrowawayAccount& operator=(const ThrowawayAccount&) = delete;

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  const std::string& name() const { return name_; }
  const std::string& password() const { return password_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }
  gid_t extra_gid() const { return extra_gid_; }

 private:
  bool ok_ = false;
  std::string why_;
  std::string name_;
  std::string group_;
  std::string password_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  gid_t extra_gid_ = 0;
};

}  // namespace testsupport
