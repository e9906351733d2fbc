// http_seams.cpp - the status pages' seam (see http_seams.h and the
// README's "Not yet built").
#include "daemon/http_seams.h"

#include <cstring>

#include "base/debug_log.h"
#include "server/tcp.h"

namespace zentsd {

void http_status_request(int listen_sock, const DaemonConfig&) {
  const int sock = tcp_accept(listen_sock);
  if (sock < 0) return;
  static const char kAnswer[] =
      "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
      "HTTP status pages not yet built\r\n";
  debug_log('S', 2, "HTTP status pages not yet built");
  tcp_send(sock, kAnswer, static_cast<int>(strlen(kAnswer)));
  tcp_close(sock);
}

}  // namespace zentsd
