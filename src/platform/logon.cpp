// logon.cpp - PAM logon and impersonation (see logon.h).
#include "platform/logon.h"

#include <grp.h>
#include <pwd.h>
#include <linux/capability.h>
#include <security/pam_appl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace platform {

namespace {

struct ErrorText {
  unsigned code;
  const char* text;
};

constexpr ErrorText kTexts[] = {
    {LOGON_NOT_ENOUGH_MEMORY, "Not enough storage is available to process this command."},
    {LOGON_NO_LOGON_SERVERS,
     "There are currently no logon servers available to service the logon request."},
    {LOGON_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client."},
    {LOGON_FAILURE, "Logon failure: unknown user name or bad password."},
    {LOGON_ACCOUNT_RESTRICTION, "Logon failure: user account restriction."},
    {LOGON_NONE_MAPPED, "No mapping between account names and security IDs was done."},
    {LOGON_ACCOUNT_EXPIRED, "Logon failure: user account has expired."},
    {LOGON_PASSWORD_MUST_CHANGE,
     "The user's password must be changed before logging on the first time."},
    {LOGON_ACCOUNT_LOCKED_OUT,
     "The referenced account is currently locked out and may not be logged on to."},
};

// The daemon's own groups, kept at the first impersonation to go back to.
bool g_impersonating = false;
bool g_saved = false;
bool g_changed = false;  // some id or the groups may differ from the daemon's
bool g_for_good = false;
std::vector<gid_t> g_own_groups;
gid_t g_own_egid = 0;
uid_t g_own_euid = 0;

struct Conversation {
  const char* password;
};

// Answers the password prompt only; any other question ends the logon.
int converse(int n, const pam_message** msg, pam_response** resp, void* data) {
  const auto* conv = static_cast<const Conversation*>(data);
  if (n <= 0) return PAM_CONV_ERR;
  auto* out = static_cast<pam_response*>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
  if (out == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < n; ++i) {
    switch (msg[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
        out[i].resp = strdup(conv->password);
        if (out[i].resp != nullptr) break;
        [[fallthrough]];
      case PAM_PROMPT_ECHO_ON:
      default:
        for (int k = 0; k < i; ++k) {
          if (out[k].resp != nullptr) {
            explicit_bzero(out[k].resp, strlen(out[k].resp));
            free(out[k].resp);
          }
        }
        free(out);
        return PAM_CONV_ERR;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO:
        break;
    }
  }
  *resp = out;
  return PAM_SUCCESS;
}

unsigned pam_code(int rc) {
  switch (rc) {
    case PAM_BUF_ERR:
      return LOGON_NOT_ENOUGH_MEMORY;
    case PAM_AUTHINFO_UNAVAIL:
      return LOGON_NO_LOGON_SERVERS;
    case PAM_ACCT_EXPIRED:
      return LOGON_ACCOUNT_EXPIRED;
    case PAM_NEW_AUTHTOK_REQD:
    case PAM_AUTHTOK_EXPIRED:
      return LOGON_PASSWORD_MUST_CHANGE;
    case PAM_MAXTRIES:
      return LOGON_ACCOUNT_LOCKED_OUT;
    case PAM_PERM_DENIED:
      return LOGON_ACCOUNT_RESTRICTION;
    default:
      return LOGON_FAILURE;
  }
}

// The account's ids and groups as the system knows them.
unsigned fill_token(const char* name, LogonToken* token) {
  passwd pw;
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  int rc;
  while ((rc = getpwnam_r(name, &pw, buf.data(), buf.size(), &found)) == ERANGE)
    buf.resize(buf.size() * 2);
  if (rc != 0 || found == nullptr) return LOGON_NONE_MAPPED;
  token->uid = pw.pw_uid;
  token->gid = pw.pw_gid;
  token->name = pw.pw_name;
  token->home = pw.pw_dir != nullptr ? pw.pw_dir : "";
  token->shell = pw.pw_shell != nullptr ? pw.pw_shell : "";
  int n = 32;
  for (;;) {
    token->groups.resize(static_cast<size_t>(n));
    int got = n;
    if (getgrouplist(name, pw.pw_gid, token->groups.data(), &got) >= 0) {
      token->groups.resize(static_cast<size_t>(got));
      return 0;
    }
    if (got <= n) n *= 2; else n = got;
    if (n > 65536) return LOGON_NONE_MAPPED;
  }
}

}  // namespace

unsigned logon_user(const char* account, const char* password, LogonToken* token) {
  // PAM would run without the rights to read the password database.
  if (g_for_good) return LOGON_PRIVILEGE_NOT_HELD;
  Conversation conversation{password ? password : ""};
  const pam_conv conv{converse, &conversation};
  pam_handle_t* pamh = nullptr;
  int rc = pam_start(kPamService, account, &conv, &pamh);
  if (rc != PAM_SUCCESS) return pam_code(rc);
  rc = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  unsigned code = 0;
  if (rc != PAM_SUCCESS) {
    code = pam_code(rc);
  } else {
    // A module may have mapped the name; the account is the one PAM ended with.
    const void* user = nullptr;
    if (pam_get_item(pamh, PAM_USER, &user) != PAM_SUCCESS || user == nullptr) user = account;
    try {
      code = fill_token(static_cast<const char*>(user), token);
    } catch (const std::bad_alloc&) {
      code = LOGON_NOT_ENOUGH_MEMORY;
    }
  }
  pam_end(pamh, rc);
  return code;
}

const char* logon_error_text(unsigned code) {
  if (code == 0) code = LOGON_FAILURE;
  for (const ErrorText& t : kTexts)
    if (t.code == code) return t.text;
  return "Logon failure: unknown error.";
}

unsigned impersonate_user(const LogonToken& token) {
  if (!g_saved) {
    const int n = getgroups(0, nullptr);
    if (n < 0) return LOGON_PRIVILEGE_NOT_HELD;
    try {
      g_own_groups.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
      return LOGON_NOT_ENOUGH_MEMORY;
    }
    if (getgroups(n, g_own_groups.data()) != n) return LOGON_PRIVILEGE_NOT_HELD;
    g_own_egid = getegid();
    g_own_euid = geteuid();
    g_saved = true;
  }
  if (revert_to_self() != 0) return LOGON_PRIVILEGE_NOT_HELD;
  // Groups and gid first: both need the daemon's own privileges.
  g_changed = true;
  if (setgroups(token.groups.size(), token.groups.data()) != 0 ||
      setresgid(static_cast<gid_t>(-1), token.gid, static_cast<gid_t>(-1)) != 0 ||
      setresuid(static_cast<uid_t>(-1), token.uid, static_cast<uid_t>(-1)) != 0) {
    revert_to_self();
    return LOGON_PRIVILEGE_NOT_HELD;
  }
  g_impersonating = true;
  return 0;
}

int revert_to_self() {
  if (!g_changed) return 0;
  if (setresuid(static_cast<uid_t>(-1), g_own_euid, static_cast<uid_t>(-1)) != 0 ||
      setresgid(static_cast<gid_t>(-1), g_own_egid, static_cast<gid_t>(-1)) != 0 ||
      setgroups(g_own_groups.size(), g_own_groups.data()) != 0)
    return -1;
  g_impersonating = false;
  g_changed = false;
  return 0;
}

bool impersonating() { return g_impersonating; }

int assume_user(const LogonToken& t) {
  uid_t r, e, s;
  if (getresuid(&r, &e, &s) != 0) return errno;
  if (t.uid == 0 || r != t.uid || e != t.uid || s != t.uid) {
    if (e != 0 && setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0) return errno;
    if (setgroups(t.groups.size(), t.groups.data()) != 0) return errno;
    if (setresgid(t.gid, t.gid, t.gid) != 0) return errno;
    if (setresuid(t.uid, t.uid, t.uid) != 0) return errno;
  }
  if (t.uid == 0) return 0;
  // Leaving root clears the permitted and effective sets; the inheritable
  // one a program could still gain through file capabilities.
  __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &head, caps) != 0) return errno;
  if (syscall(SYS_capget, &head, caps) != 0) return errno;
  for (const auto& c : caps)
    if ((c.permitted | c.effective | c.inheritable) != 0) return EPERM;
  if (setuid(0) == 0) return EPERM;
  return 0;
}

unsigned become_user(const LogonToken& token) {
  if (g_for_good) return LOGON_PRIVILEGE_NOT_HELD;
  if (revert_to_self() != 0) return LOGON_PRIVILEGE_NOT_HELD;
  g_changed = true;
  const int err = assume_user(token);
  uid_t r, e, s;
  if (err == 0 || (getresuid(&r, &e, &s) == 0 && r != 0 && e != 0 && s != 0)) {
    // Root is given up either way: nothing is left to go back to.
    g_changed = false;
    g_impersonating = false;
    g_for_good = true;
    return err == 0 ? 0u : static_cast<unsigned>(LOGON_PRIVILEGE_NOT_HELD);
  }
  revert_to_self();
  return LOGON_PRIVILEGE_NOT_HELD;
}

bool is_user_for_good() { return g_for_good; }

}  // namespace platform
