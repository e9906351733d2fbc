// tcp.h - the TCP layer every network user of the system goes through:
// listen sockets by service name or port (with a port retry), accept with
// the options the servers want, exact-length send and receive in bounded
// chunks, peer and local addresses, socket sets, and the texts of socket
// error codes.
//
// Error numbers are the Windows Sockets numbers (10000 + ...) that operators
// and log readers know from earlier releases; tcp_wsa_error maps errno to
// them. No call raises SIGPIPE, every socket is close-on-exec, and no failure
// here ends the program: failures are logged and reported as -1.
//
// Log lines use the letter X; the session daemon switches it to its own with
// tcp_set_log_letter before the first call. Everything is safe to call from
// any thread, except that a socket set is not guarded: its owner guards it.
#pragma once
#include <cstddef>
#include <cstdint>

// Windows Sockets error numbers as this layer reports them.
enum {
  WSABASEERR = 10000,
  WSAEINTR = 10004,
  WSAEBADF = 10009,
  WSAEACCES = 10013,
  WSAEFAULT = 10014,
  WSAEINVAL = 10022,
  WSAEMFILE = 10024,
  WSAEWOULDBLOCK = 10035,
  WSAENOTSOCK = 10038,
  WSAEADDRINUSE = 10048,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOBUFS = 10055,
  WSAESHUTDOWN = 10058,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAHOST_NOT_FOUND = 11001,
};

// Most sockets one set holds, listen sockets included.
inline constexpr int SOCKSET_MAX = 64;

// A count, then the sockets in the order they were added.
struct SocketSet {
  uint32_t count;
  int sockets[SOCKSET_MAX];
};

// Starts the layer; reference counted, only the first call does the work.
// 0, or -1 after logging why.
int tcp_startup();
// Takes one reference back.
void tcp_cleanup();
// The log letter of this layer's lines ('X' by default).
void tcp_set_log_letter(int letter);

// The Windows Sockets number for an errno value; values without one are
// returned unchanged.
int tcp_wsa_error(int err);
// Text for a socket error number, "[code] description"; code 0 counts as
// 10000; unknown codes give "[code] Message not found". The result lives in
// a per-thread buffer that the thread's next call overwrites.
const char* tcp_error_text(int code);
// The same into the caller's buffer (always terminated); returns buf.
const char* socket_error_text(int code, char* buf, size_t size);

// A listening IPv4 socket on every local address for service: a port
// number, a TCP service name, or none for a port the system picks. -1 after
// logging why. The socket does not block in accept, so a connection that
// vanished between readiness and accept cannot stall the caller; its listen
// queue is as long as the system allows, so a burst of connects waits there.
int tcp_listen(const char* service);
// As tcp_listen; when the port is in use, tries up to retries further ports
// (port + 1, port + 2, ...).
int tcp_bind_listen(const char* service, int retries);

// A connected, blocking socket with SO_REUSEADDR and TCP_NODELAY set, or -1
// (also when no connection is waiting).
int tcp_accept(int listen_sock);

// Closes sock; -1 as the socket is ignored. 0, or -1 when closing failed.
int tcp_close(int sock);

// The peer's (or local) IPv4 address and port, both in host order. Each
// output may be null. When host is asked for it is the name a reverse lookup
// finds, else the dotted address; it points to per-thread storage valid
// until the thread's next call. Callers that must not wait for name service
// (NoDNS) pass null and format the address themselves. 0 or -1.
int tcp_peer_addr(int sock, uint32_t* addr, uint16_t* port, const char** host);
int tcp_local_addr(int sock, uint32_t* addr, uint16_t* port, const char** host);

// Sends exactly n bytes in chunks of at most 8192. 0 or -1.
int tcp_send(int sock, const void* data, int n);
// Receives exactly n bytes in chunks of at most 8192: 0 when all arrived,
// 1 at end of stream (and for n = 0), -1 on failure. A reset by the peer is
// -1 without a log line.
int tcp_recv(int sock, void* buf, int n);

void sockset_zero(SocketSet* set);
// Appends sock; -1 as the socket and a full set are refused (returns -1),
// duplicates are not checked. 0 when added.
int sockset_add(int sock, SocketSet* set);
// Removes the first entry equal to sock, keeping the order of the rest.
void sockset_remove(int sock, SocketSet* set);
int sockset_isset(int sock, const SocketSet* set);
