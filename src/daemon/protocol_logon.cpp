// protocol_logon.cpp - the logon request (code 10): user lookup, key and
// password, the system logon and impersonation (see protocol.h).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/debug_log.h"
#include "base/install_dirs.h"
#include "base/logon_password.h"
#include "daemon/ipc.h"
#include "daemon/protocol_requests.h"
#include "platform/logon.h"

namespace zentsd {

namespace {

// The decrypted password, wiped and freed however the logon ends.
class Secret {
 public:
  Secret() = default;
  ~Secret() {
    if (text_ != nullptr) {
      explicit_bzero(text_, static_cast<size_t>(size_));
      free(text_);
    }
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  char** out() { return &text_; }
  void set_size(int n) { size_ = n; }
  const char* text() const { return text_; }

 private:
  char* text_ = nullptr;
  int size_ = 0;
};

// Refuses a logon, late: the parent counts the failures of the client's
// address and says how long the reply waits, so that guessing passwords,
// also over many connections at once, stays slow. A stop cuts the wait (a
// connection served in the listening process).
int refuse_logon(Connection& conn, const char* user_id, const char* text) {
  int wait_ms = report_logon(conn.peer_addr, true, user_id);
  if (wait_ms < 0) wait_ms = kLogonDelayFallbackMs;  // the parent could not be asked: slow anyway
  if (wait_ms > 0 && protocol_pause(conn, wait_ms) != 0) return 1;
  return reply_failure(conn, text);
}

}  // namespace

int ProtocolLogon::GetReq(Buffer& buf) {
  if (buf.GetString(&user_id) != 0) return -1;
  return buf.GetString(&password_hex);
}

int ProtocolLogon::Execute(Connection& conn) {
  // Whatever this attempt comes to, the previous logon ends here: a failed
  // attempt must not leave the connection authorized as someone.
  protocol_drop_identity(conn);

  User user;
  if (!conn.cfg->users.Lookup(user_id, &user))
    return refuse_logon(conn, user_id, "Authorization failed: Unknown user id");

  std::string challenge = conn.challenge;
  uint8_t* key = des_makekey(challenge.data());
  if (key == nullptr) return refuse_logon(conn, user_id, "Authorization failed: Unable to buid key");
  Secret password;
  const int hex_len = static_cast<int>(strlen(password_hex));
  const int n = decrypt_msg_hex(key, password_hex, hex_len, password.out());
  free(key);
  if (n < 0) return refuse_logon(conn, user_id, "Authorization failed: Unable to decrypt password");
  password.set_size(hex_len / 2);

  const std::string account = !user.uid.empty()                   ? user.uid
                              : !conn.cfg->default_uid.empty()     ? conn.cfg->default_uid
                                                                   : std::string(user_id);
  platform::LogonToken token;
  unsigned code = platform::logon_user(account.c_str(), password.text(), &token);
  if (code == 0) {
    char bin[1024];
    conn.bin_err = get_directory("bin", bin, sizeof bin) < 0 ? errno : 0;
    conn.bin_dir = conn.bin_err == 0 ? bin : "";
    // A handler serves nobody else: nothing it does later needs root.
    code = conn.own_process ? platform::become_user(token) : platform::impersonate_user(token);
  }
  if (code != 0) {
    char when[64];
    const time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    if (strftime(when, sizeof when, "%c", &tmv) == 0) when[0] = '\0';
    const char* text = platform::logon_error_text(code);
    debug_log('P', 0, "User %s failed to logon at %s, errno %u: %s", LogText(account.c_str()).c_str(),
              when, code, text);
    return refuse_logon(conn, user_id, text);
  }
  conn.token = std::move(token);
  conn.has_token = true;
  conn.authorized = true;
  debug_log('P', 1, "User %s logged on", LogText(account.c_str()).c_str());
  report_logon(conn.peer_addr, false, user_id);
  register_user(user_id, account.c_str());
  return reply_ok(conn, nullptr);
}

}  // namespace zentsd
