// Becoming a user for good: every id and group the user's, no capability
// left, no road back to root, and no further logon. Each case runs in a
// forked child, since the change cannot be undone; it needs root and is
// skipped elsewhere, saying so.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "platform/logon.h"

namespace {

// The exit status of fn run in a child (0: every check held, else the
// number of the first that failed).
int in_child(const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool no_capability_left() {
  __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &head, caps) != 0) return false;
  for (const auto& c : caps)
    if ((c.permitted | c.effective | c.inheritable) != 0) return false;
  return true;
}

platform::LogonToken nobody() {
  platform::LogonToken t;
  t.uid = 65534;
  t.gid = 65534;
  t.groups = {65534};
  return t;
}

class UserIdentity : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to change identity";
  }
};

TEST_F(UserIdentity, BecomingTheUserLeavesNoRoadBack) {
  EXPECT_EQ(in_child([] {
              // An inheritable capability would survive a plain uid change.
              __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
              __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
              if (syscall(SYS_capget, &head, caps) != 0) return 1;
              caps[0].inheritable = 1u << CAP_NET_BIND_SERVICE;
              if (syscall(SYS_capset, &head, caps) != 0) return 2;
              if (platform::impersonate_user(nobody()) != 0) return 3;  // a running impersonation ends
              if (platform::become_user(nobody()) != 0) return 4;
              uid_t r, e, s;
              gid_t rg, eg, sg;
              getresuid(&r, &e, &s);
              getresgid(&rg, &eg, &sg);
              if (r != 65534 || e != 65534 || s != 65534) return 5;
              if (rg != 65534 || eg != 65534 || sg != 65534) return 6;
              gid_t groups[8];
              if (getgroups(8, groups) != 1 || groups[0] != 65534) return 7;
              if (!no_capability_left()) return 8;
              if (setuid(0) == 0 || seteuid(0) == 0) return 9;
              if (!platform::is_user_for_good() || platform::impersonating()) return 10;
              if (platform::revert_to_self() != 0) return 11;  // nothing to go back to, no error
              return 0;
            }),
            0);
}

TEST_F(UserIdentity, NoLogonOnceTheUser) {
  EXPECT_EQ(in_child([] {
              if (platform::become_user(nobody()) != 0) return 1;
              platform::LogonToken t;
              if (platform::logon_user("root", "x", &t) != platform::LOGON_PRIVILEGE_NOT_HELD) return 2;
              if (platform::become_user(nobody()) != platform::LOGON_PRIVILEGE_NOT_HELD) return 3;
              // A child started from here is the user already: only checked.
              if (platform::assume_user(nobody()) != 0) return 4;
              return 0;
            }),
            0);
}

}  // namespace
