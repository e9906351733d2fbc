// protocol_start.cpp - starting `zentcore` for the logged-on user (codes 20
// and 51): command line, environment, working directory and the process
// itself through src/platform/user_process (see protocol.h).
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "daemon/ipc.h"
#include "daemon/protocol_requests.h"
#include "platform/user_process.h"

namespace zentsd {

namespace {

// Length of the name of an entry "name=value", or 0 when it has none.
size_t name_length(const char* entry) {
  const char* eq = strchr(entry, '=');
  return eq == nullptr ? 0 : static_cast<size_t>(eq - entry);
}

// PATH of a fresh session, as the system's logins give it.
constexpr const char* kUserPath = "/usr/local/bin:/usr/bin:/bin";

// A fresh environment of the account (nothing of the daemon's own, which is
// root's) with the client's entries: each replaces the entry of the same
// name (any case) or is appended; entries without "=" or with an empty name
// are left out.
std::vector<std::string> build_environment(const platform::LogonToken& account,
                                           const std::vector<const char*>& entries) {
  std::vector<std::string> env = {
      "HOME=" + account.home,
      "USER=" + account.name,
      "LOGNAME=" + account.name,
      "SHELL=" + (account.shell.empty() ? std::string("/bin/sh") : account.shell),
      std::string("PATH=") + kUserPath,
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const char* entry = entries[i];
    if (debug_enabled('E', 3))
      debug_log('E', 3, " envp[%d]=\"%s\"", static_cast<int>(i), LogText(entry).c_str());
    const size_t len = name_length(entry);
    if (len == 0) continue;
    bool replaced = false;
    for (std::string& have : env) {
      if (name_length(have.c_str()) == len && strncasecmp(have.c_str(), entry, len) == 0) {
        have = entry;
        replaced = true;
        break;
      }
    }
    if (!replaced) env.emplace_back(entry);
  }
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

int ProtocolStart::Failed(Connection& conn, int err) {
  debug_log('E', 1, "%s, errno %u: %s", debug_ ? "Unable to start debug process" : "Unable to start zentcore",
            static_cast<unsigned>(err), strerror(err));
  conn.exit_status = 1;
  reply_failure(conn, strerror(err));
  return 1;
}

int ProtocolStart::Execute(Connection& conn) {
  const char* what = debug_ ? "DebugStart()" : "ZentStart()";
  debug_log('E', 2, "%s", what);
  int r = 0;
  if (!require_logon(conn, &r)) return r;
  if (!conn.has_token) return reply_failure(conn, kNotAuthorized);  // never as the daemon's user

  // This request ends the connection either way. Served in the listening
  // process the rest runs as the daemon, and the new process becomes the
  // user for good; a handler is the user already.
  platform::revert_to_self();

  if (conn.bin_err != 0) return Failed(conn, conn.bin_err);
  const std::string& bin = conn.bin_dir;
  std::vector<std::string> argv_text;
  const std::string program = bin + "/zentcore";
  argv_text.push_back(program);
  std::string command = "\"" + program + "\"";
  if (debug_) {
    argv_text.push_back("-rfd");
    argv_text.push_back(std::to_string(conn.sock));
    command += " -rfd " + std::to_string(conn.sock);
  }
  for (const char* a : fields.args) {
    argv_text.emplace_back(a);
    command += " \"" + std::string(a) + "\"";
  }
  if (debug_enabled('E', 3)) debug_log('E', 3, "command=%s", LogText(command.c_str()).c_str());
  std::vector<std::string> env_text = build_environment(conn.token, fields.envs);
  std::vector<char*> argv = pointers(argv_text);
  std::vector<char*> envp = pointers(env_text);

  platform::UserProcess p{};
  p.path = program.c_str();
  p.argv = argv.data();
  p.envp = envp.data();
  p.workdir = fields.workdir[0] != '\0' ? fields.workdir : bin.c_str();
  p.token = &conn.token;
  p.keep_fd = conn.sock;
  const pid_t pid = platform::start_user_process(p);
  if (pid < 0) {
    return Failed(conn, errno);
  }
  debug_log('E', 2, debug_ ? "Debug process id = %d (handle %d)" : "zentcore process id = %d (handle %d)",
            static_cast<int>(pid), static_cast<int>(pid));
  // The handler ends after this reply; the parent watches the program
  // from here on (and, as its subreaper, reaps it).
  if (replace_child_process(pid) != 0)
    debug_log('E', 1, "Unable to hand process %d to the parent", static_cast<int>(pid));
  if (!debug_) reply_ok(conn, nullptr);
  return 1;
}

}  // namespace zentsd
