// The status pages' shared module: the request reader's limits, Base64 and
// Basic authentication, escaping, the page frame and the error answers.
#include "server/http_status.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace {

HttpRequest parse(const std::string& text, bool end_of_stream = false) {
  HttpRequest req;
  http_request_init(&req);
  // Byte by byte and in one piece must agree: feed in pieces of 7.
  for (size_t at = 0; at < text.size() && !http_request_done(&req); at += 7)
    http_request_feed(&req, text.data() + at, std::min<size_t>(7, text.size() - at));
  if (end_of_stream) http_request_fail(&req);
  return req;
}

struct ParseCase {
  const char* name;
  std::string text;
  bool done;
  int status;
  const char* method;
  const char* path;
  int headers;
};

TEST(HttpRequestReader, ReadsWithinItsLimits) {
  std::string nineteen;
  for (int i = 0; i < 25; ++i) nineteen += "H" + std::to_string(i) + ": v\r\n";
  const ParseCase cases[] = {
      {"GET", "GET /config HTTP/1.0\r\n\r\n", true, 0, "GET", "/config", 0},
      {"POST", "POST /x HTTP/1.0\r\nA: b\r\n\r\nbody", true, 0, "POST", "/x", 1},
      {"no version", "GET /x\r\n\r\n", true, 0, "GET", "/x", 0},
      {"tabs and blanks", " \tGET\t /x  HTTP/1.0\r\n\r\n", true, 0, "GET", "/x", 0},
      {"bare line feeds", "GET /x HTTP/1.0\nA: b\n\n", true, 0, "GET", "/x", 1},
      {"cut at the first carriage return", "GET /a\rb HTTP/1.0\r\n\r\n", true, 0, "GET", "/a", 0},
      {"HEAD", "HEAD / HTTP/1.0\r\n\r\n", true, 400, "", "", 0},
      {"lower case", "get / HTTP/1.0\r\n\r\n", true, 400, "", "", 0},
      {"one word", "GET\r\n", true, 400, "", "", 0},
      {"empty request line", "\r\n", true, 400, "", "", 0},
      {"method of 87", std::string(87, 'M') + " / HTTP/1.0\r\n\r\n", true, 400, "", "", 0},
      {"method of 88", std::string(88, 'M') + " / HTTP/1.0\r\n\r\n", true, 400, "", "", 0},
      {"path of 255", "GET /" + std::string(254, 'p') + "\r\n\r\n", true, 0, "GET", nullptr, 0},
      {"path of 256", "GET /" + std::string(255, 'p') + "\r\n\r\n", true, 400, "", "", 0},
      {"nineteen headers and no more", "GET / HTTP/1.0\r\n" + nineteen + "\r\n", true, 0, "GET", "/", 19},
      {"incomplete", "GET / HTTP/1.0\r\nA: b\r\n", false, 0, "GET", "/", 1},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    const HttpRequest req = parse(c.text);
    EXPECT_EQ(http_request_done(&req), c.done);
    EXPECT_EQ(req.status, c.status);
    if (c.status == 0 && c.method[0]) {
      EXPECT_STREQ(req.method, c.method);
    }
    if (c.status == 0 && c.path) {
      EXPECT_STREQ(req.path, c.path);
    }
    EXPECT_EQ(req.header_count, c.headers);
  }
}

TEST(HttpRequestReader, ALongLineIsCutAndItsRestIsTheNextLine) {
  // 1023 bytes are kept; the rest is read as a header line of its own.
  const std::string header = "X-Long: " + std::string(2000, 'y');
  const HttpRequest req = parse("GET / HTTP/1.0\r\n" + header + "\r\n\r\n");
  ASSERT_TRUE(http_request_done(&req));
  EXPECT_EQ(req.status, 0);
  ASSERT_EQ(req.header_count, 2);
  EXPECT_EQ(std::string(req.headers[0]), header.substr(0, 1023));
  EXPECT_EQ(std::string(req.headers[1]), header.substr(1023, 1023));
  // A request line longer than the line buffer refuses the request, whole.
  EXPECT_EQ(parse("GET /" + std::string(3000, 'a') + " HTTP/1.0\r\n\r\n").status, 400);
}

TEST(HttpRequestReader, TakesNothingPastTheEndOfTheRequest) {
  HttpRequest req;
  http_request_init(&req);
  const std::string text = "GET / HTTP/1.0\r\n\r\nBODY";
  EXPECT_EQ(http_request_feed(&req, text.data(), text.size()), text.size() - 4);
  const std::string more = "more";
  EXPECT_EQ(http_request_feed(&req, more.data(), more.size()), 0u);
}

TEST(HttpRequestReader, AStreamThatEndsEarlyRefusesTheRequest) {
  EXPECT_EQ(parse("GET / HTTP/1.0\r\nHost: x\r\n", true).status, 400);
  EXPECT_EQ(parse("GE", true).status, 400);
  // A complete request stays as it was.
  EXPECT_EQ(parse("GET / HTTP/1.0\r\n\r\n", true).status, 0);
}

struct B64Case {
  const char* in;
  std::string out;
};

TEST(HttpBase64, DecodesTheLongestRunOfTheAlphabet) {
  const B64Case cases[] = {
      {"YWRtaW46czNjcmV0", "admin:s3cret"},
      {"  \tYWJj", "abc"},
      {"YQ==", "a"},          // "==" after two characters: one byte
      {"YWI=", "ab"},         // "=" after three: two bytes
      {"YQ==YWJj", "a"},      // whatever follows the first "=" is ignored
      {"YWI=junk", "ab"},
      {"YQ", "a"},
      {"YWI", "ab"},
      {"YWJjZ", "abc"},       // a lone last character yields nothing
      {"Y", ""},
      {"", ""},
      {"YWJj ZGVm", "abc"},   // a blank ends the run
      {"+/+/", "\xfb\xff\xbf"},
      {"YWJj\x01ZGVm", "abc"},
  };
  for (const B64Case& c : cases) {
    SCOPED_TRACE(c.in);
    size_t n = 99;
    char* out = http_base64_decode(c.in, &n);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out, n), c.out);
    EXPECT_EQ(out[n], '\0');
    free(out);
  }
}

size_t g_asked = 0;
void* refuse_alloc(size_t n) {
  g_asked = n;
  return nullptr;
}

TEST(HttpBase64, ItsBufferIsSizedByTheRunAndMayBeRefused) {
  http_set_base64_alloc(refuse_alloc);
  EXPECT_EQ(http_base64_decode("  YWJjZGVmZ", nullptr), nullptr);
  http_set_base64_alloc(nullptr);
  EXPECT_EQ(g_asked, (9u + 3) / 4 * 3 + 1);
}

struct AuthCase {
  const char* name;
  const char* user;
  const char* pswd;
  std::string header;
  int status;
};

std::string auth(const std::string& b64) { return "Authorization: Basic " + b64; }

TEST(HttpAuthentication, ChecksEachSetValueExactly) {
  const AuthCase cases[] = {
      {"off", nullptr, nullptr, "", 0},
      {"user only, right", "admin", nullptr, auth("YWRtaW46eA=="), 0},  // admin:x
      {"user only, other case", "Admin", nullptr, auth("YWRtaW46eA=="), 401},
      {"password only, any user", nullptr, "s3cret", auth("am9lOnMzY3JldA=="), 0},  // joe:s3cret
      {"password only, wrong", nullptr, "S3cret", auth("am9lOnMzY3JldA=="), 401},
      {"both right", "joe", "s3cret", auth("am9lOnMzY3JldA=="), 0},
      {"both, wrong user", "bob", "s3cret", auth("am9lOnMzY3JldA=="), 401},
      {"no colon: empty password", "joe", "", auth("am9l"), 0},
      {"empty password set, one given", "joe", "", auth("am9lOng="), 401},
      {"no header", "joe", nullptr, "", 401},
      {"header name in any case", "joe", nullptr, "aUtHoRiZaTiOn: bAsIc am9l", 0},
      {"no blank after the colon", "joe", nullptr, "Authorization:Basic am9l", 0},
      {"not Basic", "joe", nullptr, "Authorization: Bearer am9l", 400},
      {"nothing after the colon", "joe", nullptr, "Authorization:", 400},
  };
  for (const AuthCase& c : cases) {
    SCOPED_TRACE(c.name);
    HttpRequest req;
    http_request_init(&req);
    const std::string text = "GET / HTTP/1.0\r\nHost: h\r\n" + (c.header.empty() ? "" : c.header + "\r\n") + "\r\n";
    http_request_feed(&req, text.data(), text.size());
    ASSERT_TRUE(http_request_done(&req));
    EXPECT_EQ(http_check_auth(&req, HttpCredentials{c.user, c.pswd, 'T'}), c.status);
  }
}

TEST(HttpAuthentication, ARefusedBufferAnswers500AndLogsNoSecret) {
  testsupport::LogCapture log("T2");
  HttpRequest req;
  http_request_init(&req);
  const std::string text = "GET / HTTP/1.0\r\nAuthorization: Basic am9lOnMzY3JldA==\r\n\r\n";
  http_request_feed(&req, text.data(), text.size());
  EXPECT_EQ(http_check_auth(&req, HttpCredentials{"joe", "other", 'T'}), 401);
  http_set_base64_alloc(refuse_alloc);
  EXPECT_EQ(http_check_auth(&req, HttpCredentials{"joe", "s3cret", 'T'}), 500);
  http_set_base64_alloc(nullptr);
  EXPECT_TRUE(log.contains("T1: HTTP auth failed: user=joe pswd=********"));
  EXPECT_TRUE(log.contains("T2: HTTP auth: Basic ********"));
  EXPECT_FALSE(log.contains("s3cret"));
  EXPECT_FALSE(log.contains("am9lOnMzY3JldA=="));
}

TEST(HttpEscape, EscapesTheFourCharactersAndBoundsTheText) {
  char buf[64];
  EXPECT_STREQ(http_escape("<a href=\"x\">&amp;</a>", 100, buf, sizeof buf),
               "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt;");
  EXPECT_STREQ(http_escape(nullptr, 10, buf, sizeof buf), "");
  EXPECT_STREQ(http_escape("abcdef", 3, buf, sizeof buf), "abc");
  // Cut between characters, never inside an entity.
  EXPECT_STREQ(http_escape("ab<<<<", 100, buf, 9), "ab&lt;");
  EXPECT_STREQ(HtmlText(std::string(1000, '<').c_str()).c_str(), [] {
    static std::string s;
    for (size_t i = 0; i < HtmlText::kMaxChars; ++i) s += "&lt;";
    return s.c_str();
  }());
}

// A page whose sends land in a string.
struct Captured {
  std::string sent;
  int calls = 0;
};
int capture(void* ctx, const char* data, size_t n) {
  auto* c = static_cast<Captured*>(ctx);
  c->sent.append(data, n);
  ++c->calls;
  return 0;
}

const HttpNavEntry kNav[] = {{"Index", "index"}, {"Config", "config"}};
const HttpSite kSite = {"T Title", "T Realm", kNav, 2, 'D'};

class Page : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(http_page_init(&page_, &kSite), 0);
    snprintf(page_.local_addr, sizeof page_.local_addr, "10.1.2.3");
    page_.port = 8080;
    page_.send = capture;
    page_.send_ctx = &out_;
  }
  void TearDown() override { http_page_free(&page_); }
  HttpPage page_;
  Captured out_;
};

TEST_F(Page, HeaderBarAndFooter) {
  http_page_header(&page_);
  http_append(&page_, "<h3>X</h3>\n");
  http_page_footer(&page_);
  EXPECT_EQ(out_.calls, 1);
  EXPECT_EQ(page_.last_send, 0);
  EXPECT_EQ(out_.sent.rfind("HTTP/1.0 200 OK\r\nMIME-version: 1.0\r\nContent-Type: text/html\r\n\r\n"
                            "<head><title>T Title</title></head>\n<body>\n<h1>T Title</h1>\n"
                            "<B>[<A HREF=\"http://10.1.2.3:8080/index\">Index</A>]\n"
                            "[<A HREF=\"http://10.1.2.3:8080/config\">Config</A>]</B>\n<HR>\n"
                            "<h3>X</h3>\n<p><hr><em>Last update: ",
                            0),
            0u)
      << out_.sent;
  EXPECT_EQ(out_.sent.substr(out_.sent.size() - 14), "</em>\n</body>\n");
  EXPECT_EQ(page_.size, 0u);  // reset after sending
}

TEST_F(Page, FrameModeStartsRightAfterTheHttpHeader) {
  page_.frame = 1;
  http_page_header(&page_);
  http_append(&page_, "<h3>X</h3>\n");
  http_page_footer(&page_);
  EXPECT_EQ(out_.sent.rfind("HTTP/1.0 200 OK\r\nMIME-version: 1.0\r\nContent-Type: text/html\r\n\r\n"
                            "<h3>X</h3>\n<p><hr>",
                            0),
            0u)
      << out_.sent;
}

struct ErrorCase {
  int status;
  const char* line;
  const char* title;
};

TEST_F(Page, ErrorAnswers) {
  const ErrorCase cases[] = {{400, "HTTP/1.0 400 Bad Request", "400 Bad Request"},
                             {401, "HTTP/1.0 401 Authorization required", "401 Authorization required"},
                             {403, "HTTP/1.0 403 Permission denied", "403 Permission denied"},
                             {404, "HTTP/1.0 404 Not Found", "404 Not Found"},
                             {503, "HTTP/1.0 503 Service Unavailable", "503 Service Unavailable"},
                             {500, "HTTP/1.0 500 Error 500", "500 Error 500"}};
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.status);
    out_.sent.clear();
    http_append(&page_, "half a page that must not go out");
    http_error(&page_, c.status);
    const std::string realm = c.status == 401 ? "WWW-Authenticate: Basic realm=\"T Realm\"\r\n" : "";
    EXPECT_EQ(out_.sent, std::string(c.line) + "\r\nMIME-version: 1.0\r\nContent-Type: text/html\r\n" +
                             realm + "\r\n<head><title>" + c.title + "</title></head>\n<body><h1>" +
                             c.title + "</h1></body>\n");
  }
}

// A connection beyond the cap: the 503 answer goes out whole without
// waiting, then the end of the stream; what the browser sent is dropped.
TEST(HttpBusy, TheBusyAnswerIsSentAndTheStreamEnded) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  const std::string request = "GET /config HTTP/1.0\r\n";
  ASSERT_EQ(send(sv[1], request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  http_send_busy(sv[0]);
  char probe;
  EXPECT_EQ(recv(sv[0], &probe, 1, MSG_DONTWAIT), -1) << "the request was left unread";
  std::string got;
  char buf[1024];
  ssize_t n;
  while ((n = recv(sv[1], buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(got,
            "HTTP/1.0 503 Service Unavailable\r\nMIME-version: 1.0\r\nContent-Type: text/html\r\n\r\n"
            "<head><title>503 Service Unavailable</title></head>\n"
            "<body><h1>503 Service Unavailable</h1></body>\n");
  close(sv[0]);
  close(sv[1]);
}

TEST_F(Page, APieceIsBoundedAndAPageTooLargeIsNotSent) {
  const std::string big(10000, 'x');
  http_printf(&page_, "%s", big.c_str());
  EXPECT_EQ(page_.size, kHttpPieceSize - 1);
  http_page_reset(&page_);
  page_.limit = 100;
  http_append(&page_, std::string(101, 'y').c_str());
  EXPECT_TRUE(page_.failed);
  EXPECT_EQ(http_page_send(&page_), -1);
  EXPECT_EQ(out_.calls, 0);
  // The next answer starts afresh.
  http_append(&page_, "ok");
  EXPECT_EQ(http_page_send(&page_), 0);
  EXPECT_EQ(out_.sent, "ok");
}

TEST_F(Page, TheBarImage) {
  http_blue_pixel(&page_);
  EXPECT_EQ(out_.sent, "HTTP/1.0 200 OK\r\nMIME-version: 1.0\r\nContent-Type: image/gif\r\n\r\n" +
                           std::string(reinterpret_cast<const char*>(kHttpBluePixel), 35));
}

}  // namespace
