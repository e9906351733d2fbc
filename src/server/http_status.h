// http_status.h - what both programs' HTTP status pages share (library
// zent_http, linked by zentdb6 and zentsd): the request reader, Basic
// authentication with its Base64 decoding, the page being built with its
// header, navigation bar, links, footer and error answers, HTML escaping of
// texts that came from clients, and the socket steps that never wait.
//
// Ownership: each of a program's HTTP services (the server's http tasks,
// the daemon's connection threads) owns one HttpRequest and one HttpPage and
// reuses them for every connection it serves; a request holds owned
// copies of its lines in fixed arrays, so reading one allocates nothing.
// The page grows on the heap only beyond its first area and keeps what it
// grew to. How an answer reaches the socket is the program's: the page
// calls the send function it was given, where the server's task may sleep
// (the page is complete by then) and the daemon's thread waits with a
// deadline. Nothing here blocks on a socket.
//
// Every text from a client (host names, platforms, user and database names,
// lock values) goes into a page through HtmlText, which escapes '&', '<',
// '>' and '"' and bounds it; every formatted piece is bounded by the
// page's piece buffer.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// --- The request --------------------------------------------------------------

inline constexpr int kHttpLineSize = 1024;   // a line keeps at most 1023 bytes
inline constexpr int kHttpMethodSize = 88;   // at most 87 characters
inline constexpr int kHttpPathSize = 256;    // at most 255 characters
inline constexpr int kHttpMaxHeaders = 19;   // header lines read after the request line

enum HttpRequestState {
  HTTP_REQ_LINE = 0,  // reading the request line
  HTTP_REQ_HEADERS,   // reading header lines
  HTTP_REQ_DONE,      // complete (status 0) or refused (status 400)
};

struct HttpRequest {
  int state;
  int status;  // 0, or 400 once refused
  char method[kHttpMethodSize];
  char path[kHttpPathSize];
  int header_count;
  char headers[kHttpMaxHeaders][kHttpLineSize];  // each cut at its first CR, else LF
  char line[kHttpLineSize];  // the line being read
  int line_len;
};

void http_request_init(HttpRequest* req);
// Feeds bytes as they arrived. Lines are read up to and including their
// line feed; a line longer than 1023 bytes is cut there and its rest is read
// as the next line. The request line must hold two blank-separated words,
// the method exactly "GET" or "POST" and both within their buffers, else the
// request is refused (400). Header lines are read until an empty line or
// until 19 were read. Returns the bytes taken: once the request is done the
// rest (a body, more headers) is left unread.
size_t http_request_feed(HttpRequest* req, const char* data, size_t n);
// The stream ended or failed before the request was complete: refused (400).
void http_request_fail(HttpRequest* req);
inline bool http_request_done(const HttpRequest* req) { return req->state == HTTP_REQ_DONE; }

// --- Authentication ------------------------------------------------------------

// RFC 4648 Base64 as the credentials use it: blanks and tabs skipped, then
// the longest run of the alphabet (A-Z a-z 0-9 + /; '=' and anything else
// end it), decoded in groups of four characters to three bytes; a last
// group of two gives one byte, of three two bytes, and a lone last character
// nothing. The result is a NUL-terminated text in a fresh buffer of
// (run + 3) / 4 * 3 + 1 bytes (the caller frees it); *length (may be null)
// gets the bytes decoded. None when that buffer cannot be had.
char* http_base64_decode(const char* text, size_t* length);
// Tests: the allocation http_base64_decode uses; none restores malloc.
void http_set_base64_alloc(void* (*alloc)(size_t));

// The settings a request is checked against; a value is set when it is not
// none. Authentication is on when either is set.
struct HttpCredentials {
  const char* user;
  const char* pswd;
  int log_letter;  // 'T' in the server, 'S' in the daemon
};
inline bool http_auth_enabled(const HttpCredentials& c) {
  return c.user != nullptr || c.pswd != nullptr;
}
// Checks the request's Basic credentials: 0 accepted (or authentication
// off), 401 no "Authorization:" line or a mismatch, 400 not "Basic", 500
// the decoded text could not be held. Logs "HTTP auth: %s", "HTTP auth:
// user=%s pswd=%s" and, on a mismatch, "HTTP auth failed: user=%s pswd=%s";
// the credentials and the password are never logged in clear.
int http_check_auth(const HttpRequest* req, const HttpCredentials& creds);

// --- Escaping -------------------------------------------------------------------

// text escaped for HTML ('&', '<', '>', '"') into buf, cut between
// characters after at most max_chars characters of text; none reads as "".
// Returns buf (size > 0).
const char* http_escape(const char* text, size_t max_chars, char* buf, size_t size);

// http_escape into storage of its own, for use as a format argument:
//   http_printf(page, "<td>%s\n", HtmlText(host).c_str());
class HtmlText {
 public:
  static constexpr size_t kMaxChars = 256;
  explicit HtmlText(const char* text, size_t max_chars = kMaxChars) {
    http_escape(text, max_chars, buf_, sizeof buf_);
  }
  HtmlText(const HtmlText&) = delete;
  HtmlText& operator=(const HtmlText&) = delete;
  const char* c_str() const { return buf_; }

 private:
  char buf_[kMaxChars * 6 + 1];
};

// --- The page -------------------------------------------------------------------

struct HttpNavEntry {
  const char* label;
  const char* link;  // the path without its slash
};

// What sets one program's pages apart.
struct HttpSite {
  const char* title;  // the <title> and <h1> text
  const char* realm;  // of the 401 answer
  const HttpNavEntry* nav;
  int nav_count;
  int log_letter;  // of the page's own failure lines
};

// Sends n bytes of a finished answer: 0 all sent, -1 not (the connection
// is given up).
using HttpSendFn = int (*)(void* ctx, const char* data, size_t n);

inline constexpr size_t kHttpPieceSize = 4096;  // one formatted piece at most
inline constexpr size_t kHttpPageArea = 32768;  // the page's first area
inline constexpr size_t kHttpPageLimit = 8u << 20;  // the largest answer

struct HttpPage {
  const HttpSite* site;
  int frame;             // HTTPFrame / httpFrame: no title, heading or bar
  char local_addr[16];   // "%d.%d.%d.%d" of the connection's local address
  uint16_t port;         // the local port, for links
  HttpSendFn send;
  void* send_ctx;
  char* data;            // the answer built so far
  size_t size;
  size_t capacity;
  size_t limit;
  bool failed;           // an append could not grow the page: nothing is sent
  int last_send;         // result of the last send: 0, or -1
  char piece[kHttpPieceSize];
};

// The page starts with kHttpPageArea bytes (none: it grows at the first
// append). 0, or -1 when the area cannot be had.
int http_page_init(HttpPage* page, const HttpSite* site);
void http_page_free(HttpPage* page);
// Empties the page (keeps its storage and failure flag cleared).
void http_page_reset(HttpPage* page);
void http_append(HttpPage* page, const char* text);
void http_append_bytes(HttpPage* page, const void* data, size_t n);
// Formats one piece (cut at kHttpPieceSize - 1 bytes) and appends it.
void http_printf(HttpPage* page, const char* format, ...) __attribute__((format(printf, 2, 3)));
// "HTTP/1.0 200 OK", the MIME lines and, unless frame, the title, heading
// and navigation bar.
void http_page_header(HttpPage* page);
// "<A HREF=\"http://%s:%u/%s\">%s</A>" to the program's own address.
void http_link(HttpPage* page, const char* target, const char* label);
// "<p><hr><em>Last update: %c</em>\n" and "</body>\n"; then sends and
// resets. The send's result is in last_send (-1 also for a failed page).
void http_page_footer(HttpPage* page);
// The error answer of status (400, 401 with the realm, 403, 404, "Error
// %d" for others); sent, and the page reset.
void http_error(HttpPage* page, int status);
// Sends what the page holds and resets it: 0, or -1 (nothing sent when the
// page failed to grow).
int http_page_send(HttpPage* page);
// The reason text of an error status.
const char* http_reason(int status);

// The bar image of the performance page: a 1x1 GIF87a whose pixel is blue.
inline constexpr unsigned char kHttpBluePixel[35] = {
    0x47, 0x49, 0x46, 0x38, 0x37, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00,
    0x00, 0x00, 0x00, 0xff, 0x00, 0xe8, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b};
// The GIF answer (header and bytes), sent, and the page reset.
void http_blue_pixel(HttpPage* page);

// --- Socket steps that never wait -------------------------------------------------

// Reads what sock holds (MSG_DONTWAIT) into req: 0 the request is done
// (complete or refused; a closed or failed connection refuses it), 1 more is
// needed.
int http_read_step(int sock, HttpRequest* req);
// Sends what sock takes of data (MSG_DONTWAIT): the bytes sent, -2 when it
// takes nothing now, -1 on failure.
ssize_t http_send_some(int sock, const char* data, size_t n);
// Reads and drops what sock holds: 1 at the end of the stream (or a
// failure), 0 when nothing more is there now. *budget bytes may still be
// dropped; it is lowered, and at 0 the drain counts as ended.
int http_drain_step(int sock, size_t* budget);

// Every place is taken: sends the 503 answer without waiting, shuts the
// sending side and drops what the peer sent so far; the caller closes.
void http_send_busy(int sock);

// The answer is out: the sending side is shut (the peer sees the end of
// the answer), and what the peer still sends (a body, headers past the
// 19th) is read and dropped until it closes, kHttpDrainBytes have come or
// kHttpDrainMs have passed, so that closing with bytes unread cannot make
// the kernel reset the connection and lose the answer.
inline constexpr size_t kHttpDrainBytes = 64 * 1024;
inline constexpr int kHttpDrainMs = 2000;
