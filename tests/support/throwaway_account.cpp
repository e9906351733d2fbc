// throwaway_account.cpp - accounts made with useradd and chpasswd for one
// test (see throwaway_account.h).
#include "support/throwaway_account.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

namespace {

// Holds the lock file that serialises account changes of test processes.
class AccountLock {
 public:
  AccountLock() : fd_(open("/tmp/zentrim-test-accounts.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~AccountLock() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_;
};

// Runs a command line of the account tools (fixed texts and our own names
// only); a few tries, since other programs may hold the password files.
bool run(const std::string& command) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
    usleep(200000);
  }
  return false;
}

}  // namespace

ThrowawayAccount::ThrowawayAccount() {
  if (geteuid() != 0) {
    why_ = "needs root to create a throwaway account and to authenticate it through PAM";
    return;
  }
  static int serial = 0;
  const std::string base = "zts" + std::to_string(getpid()) + "x" + std::to_string(serial++);
  name_ = base;
  group_ = base + "g";
  password_ = "Pw-" + base + "!";
  AccountLock lock;
  if (!run("/usr/sbin/groupadd " + group_)) {
    why_ = "groupadd failed";
    return;
  }
  if (!run("/usr/sbin/useradd -M -U -d /nonexistent -s /usr/sbin/nologin -G " + group_ + " " + name_)) {
    why_ = "useradd failed";
    run("/usr/sbin/groupdel " + group_);
    return;
  }
  FILE* p = popen("/usr/sbin/chpasswd", "w");
  const bool set = p != nullptr && fprintf(p, "%s:%s\n", name_.c_str(), password_.c_str()) > 0;
  if (p == nullptr || pclose(p) != 0 || !set) {
    why_ = "chpasswd failed";
    return;
  }
  const passwd* pw = getpwnam(name_.c_str());
  const group* gr = getgrnam(group_.c_str());
  if (pw == nullptr || gr == nullptr) {
    why_ = "the new account cannot be looked up";
    return;
  }
  uid_ = pw->pw_uid;
  gid_ = pw->pw_gid;
  extra_gid_ = gr->gr_gid;
  ok_ = true;
}

ThrowawayAccount::~ThrowawayAccount() {
  if (name_.empty()) return;
  AccountLock lock;
  run("/usr/sbin/userdel " + name_);
  run("/usr/sbin/groupdel " + group_);
}

}  // namespace testsupport
