// http_client.h - a plain HTTP/1.0 client for the status page tests: one
// raw request on a fresh loopback connection, the whole answer read to the
// end of the stream, split into status, headers and body. It also says
// whether the server reset the connection. Base64 for the Basic credentials
// is written here apart from the server's decoder. Header-only.
#pragma once
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "support/net_util.h"

namespace testsupport {

struct HttpAnswer {
  bool connected = false;
  bool reset = false;      // the connection ended with a reset
  bool timed_out = false;  // no end of stream within the time given
  std::string raw;
  int status = 0;          // from "HTTP/1.0 <status> ..."; 0 none
  std::string status_line;
  std::string headers;     // the header lines, CRLF-separated, without the status line
  std::string body;
  bool has(const std::string& text) const { return raw.find(text) != std::string::npos; }
};

// Reads until the server closes (or timeout_ms).
inline HttpAnswer http_read_answer(int fd, int timeout_ms) {
  HttpAnswer a;
  a.connected = true;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[8192];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      a.timed_out = true;
      break;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      a.raw.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) a.reset = errno == ECONNRESET;
    break;
  }
  const size_t eol = a.raw.find("\r\n");
  a.status_line = a.raw.substr(0, eol);
  if (a.status_line.rfind("HTTP/1.0 ", 0) == 0) a.status = atoi(a.status_line.c_str() + 9);
  const size_t blank = a.raw.find("\r\n\r\n");
  if (eol != std::string::npos && blank != std::string::npos) {
    a.headers = a.raw.substr(eol + 2, blank - eol - 2);
    a.body = a.raw.substr(blank + 4);
  }
  return a;
}

// Sends request as it is and reads the answer.
inline HttpAnswer http_raw(int port, const std::string& request, int timeout_ms = 10000) {
  const int fd = connect_loopback(static_cast<uint16_t>(port));
  if (fd < 0) return {};
  size_t off = 0;
  while (off < request.size()) {
    const ssize_t n = send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  HttpAnswer a = http_read_answer(fd, timeout_ms);
  close(fd);
  return a;
}

inline std::string base64(const std::string& in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                       static_cast<unsigned char>(in[i + 1]) << 8 | static_cast<unsigned char>(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (in.size() - i == 1) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (in.size() - i == 2) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

// "GET <path> HTTP/1.0" with the given extra header lines (each ending in CRLF).
inline std::string http_get_request(const std::string& path, const std::string& headers = "") {
  return "GET " + path + " HTTP/1.0\r\n" + headers + "\r\n";
}

inline std::string basic_auth_header(const std::string& user, const std::string& pswd) {
  return "Authorization: Basic " + base64(user + ":" + pswd) + "\r\n";
}

}  // namespace testsupport
