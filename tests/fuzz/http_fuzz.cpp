// libFuzzer target for the status pages' request reader and credentials,
// shared by zentdb6 and zentsd. The input is fed to the reader in pieces
// whose sizes come from the first byte; when the request is complete its
// credentials are checked (with the Base64 decoder) against a fixed user
// and password, and the rest of the input is decoded as Base64 on its own.
// The run checks that nothing is read or written outside its buffers, that
// the reader never takes bytes past the end of a request, and that every
// kept line and word is terminated within its buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/debug_log.h"
#include "server/http_status.h"

namespace {

bool quiet_log() {
  debug_set_stream(fopen("/dev/null", "w"));
  debug_set_flags("");
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = quiet_log();
  (void)quiet;
  if (size == 0) return 0;
  const size_t piece = data[0] % 64 + 1;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const size_t n = size - 1;
  static HttpRequest req;
  http_request_init(&req);
  size_t at = 0;
  while (at < n && !http_request_done(&req)) {
    const size_t len = piece < n - at ? piece : n - at;
    const size_t used = http_request_feed(&req, text + at, len);
    if (used > len) abort();
    at += used;
    if (used < len && !http_request_done(&req)) abort();
  }
  if (!http_request_done(&req)) http_request_fail(&req);
  if (req.status != 0 && req.status != 400) abort();
  if (strnlen(req.method, sizeof req.method) == sizeof req.method) abort();
  if (strnlen(req.path, sizeof req.path) == sizeof req.path) abort();
  if (req.header_count < 0 || req.header_count > kHttpMaxHeaders) abort();
  for (int i = 0; i < req.header_count; ++i)
    if (strnlen(req.headers[i], kHttpLineSize) == static_cast<size_t>(kHttpLineSize)) abort();
  if (req.status == 0) {
    const int rc = http_check_auth(&req, HttpCredentials{"admin", "secret", 'T'});
    if (rc != 0 && rc != 400 && rc != 401) abort();
  }
  // The rest as credentials text of its own (terminated copy).
  char* copy = static_cast<char*>(malloc(n - at + 1));
  if (copy == nullptr) return 0;
  memcpy(copy, text + at, n - at);
  copy[n - at] = '\0';
  size_t decoded_len = 0;
  char* decoded = http_base64_decode(copy, &decoded_len);
  if (decoded != nullptr) {
    if (decoded[decoded_len] != '\0' || decoded_len > (n - at + 3) / 4 * 3) abort();
    free(decoded);
  }
  free(copy);
  return 0;
}
