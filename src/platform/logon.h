// logon.h - logging a user on with a password and taking on the user's
// identity: PAM stands in for the system's logon and setgroups/setresgid/
// setresuid for impersonation.
//
// The PAM service is "zentsd" (without /etc/pam.d/zentsd PAM uses its
// "other" stack); the conversation answers the password prompt and nothing
// else. An account "domain\user" goes to PAM whole. The token is the
// account's uid, gid and groups as the system knows them once PAM accepted
// it. Impersonation changes the effective ids and the groups only: the real
// and saved ids stay the daemon's (root), so a later logon or the end of the
// connection can go back, and no process of the user may signal or trace the
// handler. A process that serves nothing after this user (a client
// handler) becomes the user for good instead: every id and group the user's
// and no capability left, so no bug in it can regain root; it cannot log
// anyone on afterwards. Failures are the logon error codes that clients and
// operators know (1326 for a wrong name or password), with texts from a
// table, as the TCP layer does for socket errors. Impersonation acts on the
// whole process: only a single-threaded handler calls it.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kPamService = "zentsd";

// Logon error codes.
enum : unsigned {
  LOGON_NOT_ENOUGH_MEMORY = 8,
  LOGON_NO_LOGON_SERVERS = 1311,
  LOGON_PRIVILEGE_NOT_HELD = 1314,
  LOGON_ACCOUNT_RESTRICTION = 1327,
  LOGON_FAILURE = 1326,
  LOGON_NONE_MAPPED = 1332,
  LOGON_ACCOUNT_EXPIRED = 1793,
  LOGON_PASSWORD_MUST_CHANGE = 1907,
  LOGON_ACCOUNT_LOCKED_OUT = 1909,
};

struct LogonToken {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups, the primary one included
  std::string name;           // the account PAM ended with
  std::string home;           // its home directory and shell, as the system has them
  std::string shell;
};

// Authenticates account with password through PAM, then checks the account
// (expired, locked, password to be changed). 0 with token filled, or a logon
// error code (1314 once the process became a user for good).
unsigned logon_user(const char* account, const char* password, LogonToken* token);

// The text of a logon error code; a code of 0 counts as 1326.
const char* logon_error_text(unsigned code);

// Takes on the token's groups and effective gid and uid. 0, or a logon error
// code (the identity is then the daemon's own again).
unsigned impersonate_user(const LogonToken& token);
// Back to the daemon's own identity (effective ids and groups). 0, or -1
// with errno when that failed.
int revert_to_self();
// True while impersonate_user is in force.
bool impersonating();

// Becomes the token's user for good: the daemon's own identity first (a
// running impersonation ends), then assume_user. 0, or 1314 (the process is
// then the daemon's own again, or, when root was already given up, stays
// the user).
unsigned become_user(const LogonToken& token);
// True once become_user succeeded: nothing to go back to.
bool is_user_for_good();

// The token's groups and every uid and gid the user's; for a user other
// than root no capability is left and root cannot be taken back, which is
// checked. Capabilities are per thread: the inheritable set is cleared for
// the calling thread only (the one that goes on to exec). A process that is the user for
// good already only checks. Async-signal-safe: also for a child between fork
// and exec. 0, or an errno value (EPERM when something was left).
int assume_user(const LogonToken& token);

}  // namespace platform
