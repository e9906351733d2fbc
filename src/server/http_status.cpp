// http_status.cpp - request reader, Basic authentication, escaping, the page
// and the socket steps that both programs' status pages share (see
// http_status.h).
#include "server/http_status.h"

#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/debug_log.h"

namespace {

void* (*g_base64_alloc)(size_t) = malloc;

// Cuts a line at its first carriage return, else at its first line feed.
void cut_line(char* line) { line[strcspn(line, "\r\n")] = '\0'; }

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The next blank-separated word of *p into out (size bytes); false when
// there is none or it does not fit.
bool take_word(const char** p, char* out, size_t size, bool* too_long) {
  const char* s = *p;
  while (is_blank(*s)) ++s;
  const char* e = s;
  while (*e != '\0' && !is_blank(*e)) ++e;
  *p = e;
  if (e == s) return false;
  const size_t n = static_cast<size_t>(e - s);
  if (n >= size) {
    *too_long = true;
    return false;
  }
  memcpy(out, s, n);
  out[n] = '\0';
  return true;
}

void refuse(HttpRequest* req) {
  req->state = HTTP_REQ_DONE;
  req->status = 400;
}

void request_line(HttpRequest* req) {
  cut_line(req->line);
  const char* p = req->line;
  bool too_long = false;
  if (!take_word(&p, req->method, sizeof req->method, &too_long) ||
      !take_word(&p, req->path, sizeof req->path, &too_long)) {
    refuse(req);
    return;
  }
  if (strcmp(req->method, "GET") != 0 && strcmp(req->method, "POST") != 0) {
    refuse(req);
    return;
  }
  req->state = HTTP_REQ_HEADERS;
}

void header_line(HttpRequest* req) {
  if (req->line[0] == '\r' || req->line[0] == '\n') {
    req->state = HTTP_REQ_DONE;
    return;
  }
  cut_line(req->line);
  memcpy(req->headers[req->header_count++], req->line, strlen(req->line) + 1);
  if (req->header_count == kHttpMaxHeaders) req->state = HTTP_REQ_DONE;
}

int b64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

constexpr const char kMasked[] = "********";

bool grow(HttpPage* page, size_t need) {
  if (page->failed) return false;
  if (need > page->limit) {
    page->failed = true;
    return false;
  }
  if (need <= page->capacity) return true;
  size_t cap = page->capacity ? page->capacity : kHttpPageArea;
  while (cap < need) cap *= 2;
  if (cap > page->limit) cap = page->limit;
  char* p = static_cast<char*>(realloc(page->data, cap));
  if (p == nullptr) {
    page->failed = true;
    return false;
  }
  page->data = p;
  page->capacity = cap;
  return true;
}

}  // namespace

// --- the request ----------------------------------------------------------------

void http_request_init(HttpRequest* req) {
  req->state = HTTP_REQ_LINE;
  req->status = 0;
  req->method[0] = req->path[0] = '\0';
  req->header_count = 0;
  req->line[0] = '\0';
  req->line_len = 0;
}

size_t http_request_feed(HttpRequest* req, const char* data, size_t n) {
  size_t used = 0;
  while (used < n && req->state != HTTP_REQ_DONE) {
    const char c = data[used++];
    req->line[req->line_len++] = c;
    if (c != '\n' && req->line_len < kHttpLineSize - 1) continue;
    req->line[req->line_len] = '\0';
    if (req->state == HTTP_REQ_LINE)
      request_line(req);
    else
      header_line(req);
    req->line_len = 0;
  }
  return used;
}

void http_request_fail(HttpRequest* req) {
  if (req->state != HTTP_REQ_DONE) refuse(req);
}

// --- authentication -------------------------------------------------------------

void http_set_base64_alloc(void* (*alloc)(size_t)) { g_base64_alloc = alloc ? alloc : malloc; }

char* http_base64_decode(const char* text, size_t* length) {
  const char* s = text;
  while (is_blank(*s)) ++s;
  size_t run = 0;
  while (b64_value(static_cast<unsigned char>(s[run])) >= 0) ++run;
  char* out = static_cast<char*>(g_base64_alloc((run + 3) / 4 * 3 + 1));
  if (out == nullptr) return nullptr;
  size_t n = 0;
  uint32_t bits = 0;
  int have = 0;
  for (size_t i = 0; i < run; ++i) {
    bits = bits << 6 | static_cast<uint32_t>(b64_value(static_cast<unsigned char>(s[i])));
    if (++have < 4) continue;
    out[n++] = static_cast<char>(bits >> 16);
    out[n++] = static_cast<char>(bits >> 8);
    out[n++] = static_cast<char>(bits);
    bits = 0;
    have = 0;
  }
  // A lone last character carries six bits, not a byte: it yields nothing.
  if (have == 2) {
    out[n++] = static_cast<char>(bits >> 4);
  } else if (have == 3) {
    out[n++] = static_cast<char>(bits >> 10);
    out[n++] = static_cast<char>(bits >> 2);
  }
  out[n] = '\0';
  if (length != nullptr) *length = n;
  return out;
}

int http_check_auth(const HttpRequest* req, const HttpCredentials& creds) {
  if (!http_auth_enabled(creds)) return 0;
  const char* value = nullptr;
  for (int i = 0; i < req->header_count && value == nullptr; ++i)
    if (strncasecmp(req->headers[i], "Authorization:", 14) == 0) value = req->headers[i] + 14;
  if (value == nullptr) return 401;
  if (*value == ' ') ++value;
  const bool basic = strncasecmp(value, "Basic", 5) == 0;
  // The scheme is shown, the credentials never.
  debug_log(creds.log_letter, 2, "HTTP auth: %s", basic ? "Basic ********" : kMasked);
  if (!basic) return 400;
  size_t decoded_len = 0;
  char* decoded = http_base64_decode(value + 5, &decoded_len);
  if (decoded == nullptr) {
    debug_log(creds.log_letter, 0, "HTTP auth: unable to allocate the decoded credentials");
    return 500;
  }
  char* colon = strchr(decoded, ':');
  const char* pswd = "";
  if (colon != nullptr) {
    *colon = '\0';
    pswd = colon + 1;
  }
  const char* user = decoded;
  debug_log(creds.log_letter, 2, "HTTP auth: user=%s pswd=%s", LogText(user).c_str(), kMasked);
  const bool ok = (creds.user == nullptr || strcmp(creds.user, user) == 0) &&
                  (creds.pswd == nullptr || strcmp(creds.pswd, pswd) == 0);
  if (!ok)
    debug_log(creds.log_letter, 1, "HTTP auth failed: user=%s pswd=%s", LogText(user).c_str(),
              kMasked);
  // The password must not linger in freed memory.
  explicit_bzero(decoded, decoded_len);
  free(decoded);
  return ok ? 0 : 401;
}

// --- escaping -------------------------------------------------------------------

const char* http_escape(const char* text, size_t max_chars, char* buf, size_t size) {
  size_t n = 0;
  const char* s = text != nullptr ? text : "";
  for (size_t i = 0; s[i] != '\0' && i < max_chars; ++i) {
    const char* rep = nullptr;
    switch (s[i]) {
      case '&': rep = "&amp;"; break;
      case '<': rep = "&lt;"; break;
      case '>': rep = "&gt;"; break;
      case '"': rep = "&quot;"; break;
      default: break;
    }
    const size_t len = rep ? strlen(rep) : 1;
    if (n + len >= size) break;
    if (rep)
      memcpy(buf + n, rep, len);
    else
      buf[n] = s[i];
    n += len;
  }
  buf[n] = '\0';
  return buf;
}

// --- the page -------------------------------------------------------------------

int http_page_init(HttpPage* page, const HttpSite* site) {
  page->site = site;
  page->frame = 0;
  snprintf(page->local_addr, sizeof page->local_addr, "127.0.0.1");
  page->port = 0;
  page->send = nullptr;
  page->send_ctx = nullptr;
  page->size = 0;
  page->limit = kHttpPageLimit;
  page->failed = false;
  page->last_send = 0;
  page->data = static_cast<char*>(malloc(kHttpPageArea));
  page->capacity = page->data ? kHttpPageArea : 0;
  return page->data ? 0 : -1;
}

void http_page_free(HttpPage* page) {
  free(page->data);
  page->data = nullptr;
  page->capacity = page->size = 0;
}

void http_page_reset(HttpPage* page) {
  page->size = 0;
  page->failed = false;
}

void http_append_bytes(HttpPage* page, const void* data, size_t n) {
  if (!grow(page, page->size + n)) return;
  memcpy(page->data + page->size, data, n);
  page->size += n;
}

void http_append(HttpPage* page, const char* text) { http_append_bytes(page, text, strlen(text)); }

void http_printf(HttpPage* page, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(page->piece, sizeof page->piece, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof page->piece) n = static_cast<int>(sizeof page->piece) - 1;
  http_append_bytes(page, page->piece, static_cast<size_t>(n));
}

void http_link(HttpPage* page, const char* target, const char* label) {
  http_printf(page, "<A HREF=\"http://%s:%u/%s\">%s</A>", page->local_addr,
              static_cast<unsigned>(page->port), target, label);
}

void http_page_header(HttpPage* page) {
  http_append(page, "HTTP/1.0 200 OK\r\n");
  http_append(page, "MIME-version: 1.0\r\n");
  http_append(page, "Content-Type: text/html\r\n\r\n");
  if (page->frame) return;
  const HttpSite* site = page->site;
  http_printf(page, "<head><title>%s</title></head>\n", site->title);
  http_append(page, "<body>\n");
  http_printf(page, "<h1>%s</h1>\n", site->title);
  http_append(page, "<B>");
  for (int i = 0; i < site->nav_count; ++i) {
    if (i > 0) http_append(page, "\n");
    http_append(page, "[");
    http_link(page, site->nav[i].link, site->nav[i].label);
    http_append(page, "]");
  }
  http_append(page, "</B>\n<HR>\n");
}

int http_page_send(HttpPage* page) {
  int rc = -1;
  if (!page->failed && page->send != nullptr)
    rc = page->send(page->send_ctx, page->data, page->size);
  else if (page->failed)
    debug_log(page->site->log_letter, 0, "HTTP answer too large or no memory for it (%zu bytes) - not sent", page->size);
  page->last_send = rc;
  http_page_reset(page);
  return rc;
}

void http_page_footer(HttpPage* page) {
  char when[128];
  const time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  if (strftime(when, sizeof when, "%c", &tmv) == 0) when[0] = '\0';
  http_printf(page, "<p><hr><em>Last update: %s</em>\n", when);
  http_append(page, "</body>\n");
  http_page_send(page);
}

const char* http_reason(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Authorization required";
    case 403: return "Permission denied";
    case 404: return "Not Found";
    case 503: return "Service Unavailable";
    default: return nullptr;
  }
}

namespace {

// The whole error answer of status into buf (cut to fit); its length.
size_t error_text(int status, const char* realm, char* buf, size_t size) {
  char other[32];
  const char* reason = http_reason(status);
  if (reason == nullptr) {
    snprintf(other, sizeof other, "Error %d", status);
    reason = other;
  }
  char auth[160] = "";
  if (status == 401) snprintf(auth, sizeof auth, "WWW-Authenticate: Basic realm=\"%s\"\r\n", realm);
  const int n = snprintf(buf, size,
                         "HTTP/1.0 %d %s\r\nMIME-version: 1.0\r\nContent-Type: text/html\r\n%s\r\n"
                         "<head><title>%d %s</title></head>\n<body><h1>%d %s</h1></body>\n",
                         status, reason, auth, status, reason, status, reason);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

}  // namespace

void http_error(HttpPage* page, int status) {
  char text[512];
  const size_t n = error_text(status, page->site->realm, text, sizeof text);
  http_page_reset(page);
  http_append_bytes(page, text, n);
  http_page_send(page);
}

void http_send_busy(int sock) {
  char text[512];
  const size_t n = error_text(503, "", text, sizeof text);
  // A fresh connection's send buffer takes this much at once.
  http_send_some(sock, text, n);
  shutdown(sock, SHUT_WR);
  size_t budget = kHttpDrainBytes;
  http_drain_step(sock, &budget);
}

void http_blue_pixel(HttpPage* page) {
  http_append(page, "HTTP/1.0 200 OK\r\n");
  http_append(page, "MIME-version: 1.0\r\n");
  http_append(page, "Content-Type: image/gif\r\n\r\n");
  http_append_bytes(page, kHttpBluePixel, sizeof kHttpBluePixel);
  http_page_send(page);
}

// --- socket steps ---------------------------------------------------------------

int http_read_step(int sock, HttpRequest* req) {
  char buf[kHttpLineSize];
  while (!http_request_done(req)) {
    const ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      http_request_feed(req, buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 1;
    http_request_fail(req);  // closed or failed
  }
  return 0;
}

ssize_t http_send_some(int sock, const char* data, size_t n) {
  for (;;) {
    const ssize_t k = send(sock, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (k >= 0) return k;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    return -1;
  }
}

int http_drain_step(int sock, size_t* budget) {
  char buf[4096];
  while (*budget > 0) {
    const size_t want = *budget < sizeof buf ? *budget : sizeof buf;
    const ssize_t n = recv(sock, buf, want, MSG_DONTWAIT);
    if (n > 0) {
      *budget -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return 1;
  }
  return 1;
}
