// tcp.cpp - the TCP layer over BSD sockets (see tcp.h).
//
// Sockets are plain blocking descriptors except listen sockets, which never
// block in accept. Every failure text carries the Windows Sockets number and
// description, mapped from errno, as the log has always shown them.
#include "server/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/debug_log.h"

namespace {

constexpr int kChunk = 8192;

std::atomic<int> g_letter{'X'};
std::mutex g_startup_mutex;
int g_startup_count = 0;

struct ErrorText {
  int code;
  const char* text;
};

// The standard descriptions, by Windows Sockets number.
constexpr ErrorText kErrorTexts[] = {
    {10000, "[0] No Error"},
    {10004, "[10004] Interrupted system call"},
    {10009, "[10009] Bad file number"},
    {10013, "[10013] Permission denied"},
    {10014, "[10014] Bad address"},
    {10022, "[10022] Invalid argument"},
    {10024, "[10024] Too many open files"},
    {10035, "[10035] Operation would block"},
    {10036, "[10036] Operation now in progress"},
    {10037, "[10037] Operation already in progress"},
    {10038, "[10038] Socket operation on non-socket"},
    {10039, "[10039] Destination address required"},
    {10040, "[10040] Message too long"},
    {10041, "[10041] Protocol wrong type for socket"},
    {10042, "[10042] Bad protocol option"},
    {10043, "[10043] Protocol not supported"},
    {10044, "[10044] Socket type not supported"},
    {10045, "[10045] Operation not supported on socket"},
    {10046, "[10046] Protocol family not supported"},
    {10047, "[10047] Address family not supported by protocol family"},
    {10048, "[10048] Address already in use"},
    {10049, "[10049] Can't assign requested address"},
    {10050, "[10050] Network is down"},
    {10051, "[10051] Network is unreachable"},
    {10052, "[10052] Net dropped connection or reset"},
    {10053, "[10053] Software caused connection abort"},
    {10054, "[10054] Connection reset by peer"},
    {10055, "[10055] No buffer space available"},
    {10056, "[10056] Socket is already connected"},
    {10057, "[10057] Socket is not connected"},
    {10058, "[10058] Can't send after socket shutdown"},
    {10059, "[10059] Too many references, can't splice"},
    {10060, "[10060] Connection timed out"},
    {10061, "[10061] Connection refused"},
    {10062, "[10062] Too many levels of symbolic links"},
    {10063, "[10063] File name too long"},
    {10064, "[10064] Host is down"},
    {10065, "[10065] No Route to Host"},
    {10066, "[10066] Directory not empty"},
    {10067, "[10067] Too many processes"},
    {10068, "[10068] Too many users"},
    {10069, "[10069] Disc Quota Exceeded"},
    {10070, "[10070] Stale NFS file handle"},
    {10071, "[10071] Too many levels of remote in path"},
    {10091, "[10091] Network SubSystem is unavailable"},
    {10092, "[10092] WINSOCK DLL Version out of range"},
    {10093, "[10093] Successful WSASTARTUP not yet performed"},
    {11001, "[11001] Host not found"},
    {11002, "[11002] Non-Authoritative Host not found"},
    {11003, "[11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "[11004] Valid name, no data record of requested type"},
};

struct ErrnoMap {
  int err;
  int wsa;
};

constexpr ErrnoMap kErrnoMap[] = {
    {EINTR, 10004},        {EBADF, 10009},         {EACCES, 10013},
    {EPERM, 10013},        {EFAULT, 10014},        {EINVAL, 10022},
    {EMFILE, 10024},       {ENFILE, 10024},        {EAGAIN, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},      {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},      {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},  {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},     {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {ENOBUFS, 10055},       {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},      {ESHUTDOWN, 10058},
    {EPIPE, 10058},        {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},         {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},
    {EUSERS, 10068},       {EDQUOT, 10069},        {ESTALE, 10070},
    {EREMOTE, 10071},
};

int letter() { return g_letter.load(std::memory_order_relaxed); }

const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// One failure line: format ends in the "[%d] %s" pair of the Windows
// Sockets number and its text, mapped from the errno value err.
void log_sock_error(int level, const char* format, int err) {
  const int code = tcp_wsa_error(err);
  char text[256];
  debug_log(letter(), level, format, code, socket_error_text(code, text, sizeof text));
}

void log_where(const char* file, int line) {
  debug_log(letter(), 2, "file %s, line %d", base_name(file), line);
}

#define TCP_WHERE() log_where(__FILE__, __LINE__)

// The longest listen queue the system allows: connects that come in a burst
// wait in it for the accept instead of having their SYN dropped and sent
// again a second later.
int listen_backlog() {
  int backlog = SOMAXCONN;
  if (FILE* f = fopen("/proc/sys/net/core/somaxconn", "re")) {
    int value = 0;
    if (fscanf(f, "%d", &value) == 1 && value > 0) backlog = value;
    fclose(f);
  }
  return backlog;
}

// Port of a service text in host order: 0 < port; -1 after logging.
int service_port(const char* service) {
  if (service == nullptr) return 0;
  if (service[0] >= '0' && service[0] <= '9') {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(service, &end, 10);
    if (errno != 0 || *end != '\0' || v <= 0 || v > 65535) {
      debug_log(letter(), 0, "%s: Invalid port number.", service);
      return -1;
    }
    return static_cast<int>(v);
  }
  struct servent entry;
  struct servent* found = nullptr;
  char buf[1024];
  if (getservbyname_r(service, "tcp", &entry, buf, sizeof buf, &found) != 0 || found == nullptr) {
    debug_log(letter(), 0, "Unable to map service name %s (tcp)", service);
    return -1;
  }
  return ntohs(static_cast<uint16_t>(found->s_port));
}

void set_option(int sock, int level, int name, const char* failure) {
  const int on = 1;
  if (setsockopt(sock, level, name, &on, sizeof on) != 0) log_sock_error(0, failure, errno);
}

int sock_name(int sock, bool peer, uint32_t* addr, uint16_t* port, const char** host) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  const int rc = peer ? getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &len)
                      : getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len);
  if (rc != 0) {
    log_sock_error(0, peer ? "getpeername failed. [%d] %s" : "getsockname failed. [%d] %s", errno);
    return -1;
  }
  if (sa.sin_family != AF_INET) {
    log_sock_error(0, peer ? "getpeername failed. [%d] %s" : "getsockname failed. [%d] %s",
                   EAFNOSUPPORT);
    return -1;
  }
  if (addr != nullptr) *addr = ntohl(sa.sin_addr.s_addr);
  if (port != nullptr) *port = ntohs(sa.sin_port);
  if (host != nullptr) {
    static thread_local char name[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), len, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0)
      inet_ntop(AF_INET, &sa.sin_addr, name, sizeof name);
    *host = name;
  }
  return 0;
}

}  // namespace

void tcp_set_log_letter(int l) { g_letter.store(l, std::memory_order_relaxed); }

int tcp_startup() {
  std::lock_guard<std::mutex> lock(g_startup_mutex);
  if (g_startup_count++ > 0) return 0;
  // BSD sockets need no start-up; the lines stay for log readers.
  debug_log(letter(), 2, "WINSOCK.DLL initialized successfully");
  debug_log(letter(), 2, " Version      : %d.%d", 1, 1);
  debug_log(letter(), 2, " High version : %d.%d", 1, 1);
  debug_log(letter(), 2, " Description  : %s", "BSD sockets");
  return 0;
}

void tcp_cleanup() {
  std::lock_guard<std::mutex> lock(g_startup_mutex);
  if (g_startup_count > 0) --g_startup_count;
}

int tcp_wsa_error(int err) {
  for (const ErrnoMap& m : kErrnoMap)
    if (m.err == err) return m.wsa;
  return err;
}

const char* socket_error_text(int code, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return buf;
  if (code == 0) code = WSABASEERR;
  if (code >= WSABASEERR) {
    for (const ErrorText& e : kErrorTexts) {
      if (e.code == code) {
        snprintf(buf, size, "%s", e.text);
        return buf;
      }
    }
  }
  snprintf(buf, size, "[%d] Message not found", code);
  return buf;
}

const char* tcp_error_text(int code) {
  static thread_local char text[256];
  return socket_error_text(code, text, sizeof text);
}

int tcp_listen(const char* service) { return tcp_bind_listen(service, 0); }

int tcp_bind_listen(const char* service, int retries) {
  int port = service_port(service);
  if (port < 0) return -1;

  const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock < 0) {
    log_sock_error(0, "Unable to create listen socket. [%d] %s", errno);
    TCP_WHERE();
    return -1;
  }
  for (;;) {
    set_option(sock, SOL_SOCKET, SO_REUSEADDR, "Unable to set SO_REUSEADDR. [%d] %s");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) break;
    const int err = errno;
    if (err == EADDRINUSE && port != 0 && retries > 0 && port < 65535) {
      --retries;
      ++port;
      continue;
    }
    log_sock_error(0, "Unable to bind address. [%d] %s", err);
    TCP_WHERE();
    close(sock);
    return -1;
  }
  if (listen(sock, listen_backlog()) != 0) {
    log_sock_error(0, "Unable to setup listen queue. [%d] %s", errno);
    TCP_WHERE();
    close(sock);
    return -1;
  }
  return sock;
}

int tcp_accept(int listen_sock) {
  int sock;
  do {
    sock = accept4(listen_sock, nullptr, nullptr, SOCK_CLOEXEC);
  } while (sock < 0 && errno == EINTR);
  if (sock < 0) {
    // Nothing waiting (the peer gave up first) is routine, not an error.
    const int err = errno;
    log_sock_error(err == EAGAIN || err == ECONNABORTED ? 2 : 0, "accept failed. [%d] %s", err);
    return -1;
  }
  set_option(sock, SOL_SOCKET, SO_REUSEADDR, "Unable to set SO_REUSEADDR. [%d] %s");
  set_option(sock, IPPROTO_TCP, TCP_NODELAY, "Unable to set TCP_NODELAY. [%d] %s");
  return sock;
}

int tcp_close(int sock) {
  if (sock == -1) return 0;
  if (close(sock) != 0 && errno != EINTR) {
    // After EINTR the descriptor is gone on Linux; closing again could hit
    // a descriptor another thread just opened.
    log_sock_error(0, "Unable to close socket. [%d] %s", errno);
    TCP_WHERE();
    return -1;
  }
  return 0;
}

int tcp_peer_addr(int sock, uint32_t* addr, uint16_t* port, const char** host) {
  return sock_name(sock, true, addr, port, host);
}

int tcp_local_addr(int sock, uint32_t* addr, uint16_t* port, const char** host) {
  return sock_name(sock, false, addr, port, host);
}

int tcp_send(int sock, const void* data, int n) {
  if (debug_enabled(letter(), 3))
    debug_dump("tcp_send", data, n);
  else
    debug_log(letter(), 2, "tcp_send");
  if (n <= 0) return 0;
  const char* p = static_cast<const char*>(data);
  int sent = 0;
  while (sent < n) {
    const int chunk = n - sent < kChunk ? n - sent : kChunk;
    const ssize_t rc = send(sock, p + sent, static_cast<size_t>(chunk), MSG_NOSIGNAL);
    if (rc > 0) {
      sent += static_cast<int>(rc);
      continue;
    }
    if (rc == 0 || errno == EINTR) continue;
    const int code = tcp_wsa_error(errno);
    char text[256];
    debug_log(letter(), 1, "tcp_send: send failed: writecount %d, [%d] %s", sent, code,
              socket_error_text(code, text, sizeof text));
    return -1;
  }
  return 0;
}

int tcp_recv(int sock, void* buf, int n) {
  debug_log(letter(), 2, "tcp_recv, expected %d bytes", n);
  if (n <= 0) {
    debug_log(letter(), 2, "tcp_recv: EOF");
    return 1;
  }
  char* p = static_cast<char*>(buf);
  int got = 0;
  while (got < n) {
    const int chunk = n - got < kChunk ? n - got : kChunk;
    const ssize_t rc = recv(sock, p + got, static_cast<size_t>(chunk), 0);
    if (rc > 0) {
      got += static_cast<int>(rc);
      continue;
    }
    if (rc == 0) {
      debug_log(letter(), 2, "tcp_recv: EOF");
      return 1;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == ECONNRESET) return -1;
    log_sock_error(1, "tcp_recv: recv failed. [%d] %s", err);
    return -1;
  }
  if (debug_enabled(letter(), 3)) debug_dump("tcp_recv", buf, n);
  return 0;
}

void sockset_zero(SocketSet* set) { set->count = 0; }

int sockset_add(int sock, SocketSet* set) {
  if (sock == -1 || set->count >= SOCKSET_MAX) return -1;
  set->sockets[set->count++] = sock;
  return 0;
}

void sockset_remove(int sock, SocketSet* set) {
  if (sock == -1) return;
  for (uint32_t i = 0; i < set->count; ++i) {
    if (set->sockets[i] == sock) {
      memmove(&set->sockets[i], &set->sockets[i + 1], (set->count - i - 1) * sizeof(int));
      --set->count;
      return;
    }
  }
}

int sockset_isset(int sock, const SocketSet* set) {
  for (uint32_t i = 0; i < set->count; ++i)
    if (set->sockets[i] == sock) return 1;
  return 0;
}
