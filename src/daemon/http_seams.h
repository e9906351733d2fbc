// http_seams.h - the daemon's HTTP status pages, as a seam.
//
// NOT YET BUILT: the status pages (configuration, users, shares, sessions,
// tasks) come later. Until then a connection to `serviceHTTP` is accepted
// and answered "503 Service Unavailable" with "HTTP status pages not yet
// built", so that the listening loop and its socket are in place.
#pragma once

namespace zentsd {

struct DaemonConfig;

// Accepts one connection on listen_sock and answers it.
void http_status_request(int listen_sock, const DaemonConfig& cfg);

}  // namespace zentsd
