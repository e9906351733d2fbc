// zentdb6's HTTP status pages over TCP against the real server: every
// route with its status line, content type and heading, the bar image,
// refused requests, Basic authentication, the frame-less pages, a browser
// that stops half-way (other clients go on, it is closed at the frame
// time-out), silent and trickling browsers that hold up no other page and
// are closed at the request deadline, the cap on browsers served at once,
// client texts escaped, an answer that survives a request body,
// no password in the log, and the pages in headless Chromium.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/chromium.h"
#include "support/http_client.h"
#include "support/net_util.h"
#include "support/process_runner.h"
#include "support/server_volumes.h"
#include "support/slow_browsers.h"
#include "support/zent_client.h"

namespace {

const std::string kServer = ZENTDB6_PATH;
using testsupport::HttpAnswer;
using testsupport::http_get_request;
using testsupport::http_raw;
using Clock = std::chrono::steady_clock;

// One server with ServiceHTTP and the extra [Server] lines given.
class HttpServer {
 public:
  explicit HttpServer(const std::string& server_extra, const char* flags = "D2T2X1",
                      int threads = 8) {
    port_ = testsupport::free_tcp_port();
    http_port_ = testsupport::free_tcp_port();
    dir_.write("zentdb6.cfg", "[Server]\nService = " + std::to_string(port_) +
                                  "\nServiceHTTP = " + std::to_string(http_port_) +
                                  "\nNoDNS = 1\n" + server_extra +
                                  "\n[Config]\nThreads = " + std::to_string(threads) + "\n\n[Volumes]\n" +
                                  testsupport::write_server_volumes(dir_.file("root.vol")));
    process_ = std::make_unique<testsupport::Process>(
        kServer, std::vector<std::string>{"-standalone", "-c", dir_.file("zentdb6.cfg"), "-d", flags});
    ok_ = process_->wait_for_stderr("QX Zentrim database server active", 20000);
  }
  ~HttpServer() { stop(); }
  testsupport::ProcessResult stop() {
    if (!process_) return {};
    process_->send_signal(SIGTERM);
    testsupport::ProcessResult r = process_->wait(30000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    process_.reset();
    return r;
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }
  int http_port() const { return http_port_; }
  const testsupport::TempDir& dir() const { return dir_; }
  std::string log() { return process_ ? process_->stderr_so_far() : ""; }
  HttpAnswer get(const std::string& path, const std::string& headers = "") {
    return http_raw(http_port_, http_get_request(path, headers));
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(http_port_) + path;
  }

 private:
  testsupport::TempDir dir_;
  int port_ = -1;
  int http_port_ = -1;
  std::unique_ptr<testsupport::Process> process_;
  bool ok_ = false;
};

const char* const kNavBar = "<B>[<A HREF=\"http://127.0.0.1:";

struct RouteCase {
  const char* path;
  const char* marker;
};
const RouteCase kRoutes[] = {
    {"/config", "<h3>Server Status</h3>"},
    {"/session", "<h3>Active Sessions</h3>"},
    {"/db", "<h3>Open Databases</h3>"},
    {"/lock", "<h3>Database Locks</h3>"},
    {"/ps", "<h3>Active Threads</h3>"},
    {"/vol", "<h3>Server Volumes</h3>"},
    {"/perf", "<h3>Performance Statistics</h3>"},
    {"/stat", "<h3>Page Cache Statistics</h3>"},
    {"/pinned", "<h3>Pinned Cache Pages</h3>"},
    {"/", "This provides a short overview about the available pages(this one)."},
    {"/index", "This provides a short overview about the available pages(this one)."},
    // Routes are compared exactly: anything else is the index.
    {"/Config", "This provides a short overview about the available pages(this one)."},
    {"/config/", "This provides a short overview about the available pages(this one)."},
};

// Every client place the select thread's set offers taken: the status
// pages are still answered, when an administrator needs them most.
TEST(ZentDb6Http, AStatusPageIsAnsweredWithEveryClientPlaceTaken) {
  HttpServer server("", "D1", 100);
  ASSERT_TRUE(server.ok()) << server.log();
  std::vector<std::unique_ptr<testsupport::ZentClient>> clients;
  for (int i = 0; i < 70; ++i) {
    auto c = std::make_unique<testsupport::ZentClient>();
    if (!c->connect(static_cast<uint16_t>(server.port())) || !c->handshake()) break;
    clients.push_back(std::move(c));
  }
  EXPECT_GE(clients.size(), 60u);
  EXPECT_LT(clients.size(), 70u) << "no client was refused";
  const HttpAnswer a = http_raw(server.http_port(), http_get_request("/session", ""), 5000);
  EXPECT_EQ(a.status_line, "HTTP/1.0 200 OK") << a.raw;
  EXPECT_TRUE(a.has("Number of active sessions: " + std::to_string(clients.size()) + "<p>"))
      << a.raw;
  // A page again, after the first connection was closed.
  EXPECT_EQ(server.get("/stat").status_line, "HTTP/1.0 200 OK");
}

TEST(ZentDb6Http, EveryRouteAnswersItsPageInTheFrame) {
  HttpServer server("");
  ASSERT_TRUE(server.ok()) << server.log();
  for (const RouteCase& c : kRoutes) {
    SCOPED_TRACE(c.path);
    const HttpAnswer a = server.get(c.path);
    EXPECT_EQ(a.status_line, "HTTP/1.0 200 OK");
    EXPECT_EQ(a.headers, "MIME-version: 1.0\r\nContent-Type: text/html");
    EXPECT_TRUE(a.has(c.marker)) << a.raw;
    EXPECT_EQ(a.body.rfind("<head><title>QX Zentrim Database Status</title></head>\n<body>\n"
                           "<h1>QX Zentrim Database Status</h1>\n",
                           0),
              0u)
        << a.body;
    EXPECT_TRUE(a.has(kNavBar));
    EXPECT_TRUE(a.has("/perf\">Performance</A>]\n[<A HREF"));
    EXPECT_TRUE(a.has("<p><hr><em>Last update: "));
    EXPECT_EQ(a.body.substr(a.body.size() - 8), "</body>\n");
    EXPECT_FALSE(a.reset);
  }
  // The configuration page names the settings as configured.
  const HttpAnswer config = server.get("/config");
  EXPECT_TRUE(config.has("<tr><th align=left>ServiceHTTP<td>" + std::to_string(server.http_port())));
  EXPECT_TRUE(config.has("<tr><th align=left>HttpUser/HttpPswd<td>No"));
  EXPECT_TRUE(config.has("<tr><th align=left>Server process id<td>"));
  EXPECT_TRUE(config.has("<tr><th align=left>Server revision<td>QX Zentrim data base server "));
  const HttpAnswer vol = server.get("/vol");
  EXPECT_TRUE(vol.has("<tr><td>1<td>DATA<td>")) << vol.body;
  EXPECT_TRUE(vol.has("<h3>Volume Statistics</h3>"));
}

TEST(ZentDb6Http, TheBarImageIsItsThirtyFiveBytes) {
  HttpServer server("");
  ASSERT_TRUE(server.ok());
  const HttpAnswer a = server.get("/blue-pixel.gif");
  EXPECT_EQ(a.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(a.headers, "MIME-version: 1.0\r\nContent-Type: image/gif");
  const unsigned char kGif[] = {0x47, 0x49, 0x46, 0x38, 0x37, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00,
                                0x00, 0x00, 0x00, 0xff, 0x00, 0xe8, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00,
                                0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b};
  EXPECT_EQ(a.body, std::string(reinterpret_cast<const char*>(kGif), sizeof kGif));
}

struct RequestCase {
  const char* name;
  std::string request;
  int status;
};

TEST(ZentDb6Http, RequestsAreReadWithinTheirLimits) {
  HttpServer server("");
  ASSERT_TRUE(server.ok());
  std::string twenty_headers;
  for (int i = 0; i < 20; ++i) twenty_headers += "X-Header-" + std::to_string(i) + ": v\r\n";
  const RequestCase cases[] = {
      {"HEAD", "HEAD /config HTTP/1.0\r\n\r\n", 400},
      {"lower-case get", "get /config HTTP/1.0\r\n\r\n", 400},
      {"one word", "GET\r\n\r\n", 400},
      {"empty line", "\r\n", 400},
      {"path of 255", "GET /" + std::string(254, 'a') + " HTTP/1.0\r\n\r\n", 200},
      {"path of 256", "GET /" + std::string(255, 'a') + " HTTP/1.0\r\n\r\n", 400},
      {"path of 2000", "GET /" + std::string(1999, 'a') + " HTTP/1.0\r\n\r\n", 400},
      {"method of 88", std::string(88, 'G') + " / HTTP/1.0\r\n\r\n", 400},
      {"twenty headers", "GET /config HTTP/1.0\r\n" + twenty_headers + "\r\n", 200},
      {"a bare line feed", "GET /config HTTP/1.0\n\n", 200},
      {"POST with a body",
       "POST /config HTTP/1.0\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, 'b'), 200},
      {"no end of headers", "GET /config HTTP/1.0\r\nHost: x\r\n", 400},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = testsupport::connect_loopback(static_cast<uint16_t>(server.http_port()));
    ASSERT_GE(fd, 0);
    send(fd, c.request.data(), c.request.size(), MSG_NOSIGNAL);
    // A request that never ends its headers is told so when the stream ends.
    if (c.status == 400 && c.request.find("\r\n\r\n") == std::string::npos &&
        c.request.find("\n\n") == std::string::npos && c.request != "\r\n")
      shutdown(fd, SHUT_WR);
    const HttpAnswer a = testsupport::http_read_answer(fd, 10000);
    close(fd);
    EXPECT_EQ(a.status, c.status) << a.raw.substr(0, 300);
    EXPECT_FALSE(a.reset);
    EXPECT_FALSE(a.timed_out);
    if (c.status == 400) {
      EXPECT_EQ(a.raw,
                "HTTP/1.0 400 Bad Request\r\nMIME-version: 1.0\r\nContent-Type: text/html\r\n\r\n"
                "<head><title>400 Bad Request</title></head>\n"
                "<body><h1>400 Bad Request</h1></body>\n");
    } else {
      EXPECT_TRUE(a.has("</body>\n"));
    }
  }
}

struct AuthCase {
  const char* name;
  const char* settings;
  std::string header;
  int status;
};

TEST(ZentDb6Http, BasicAuthenticationChecksEachSetValue) {
  using testsupport::basic_auth_header;
  const AuthCase cases[] = {
      {"user only, right user, any password", "HTTPUser = admin\n", basic_auth_header("admin", "x"), 200},
      {"user only, wrong user", "HTTPUser = admin\n", basic_auth_header("Admin", "x"), 401},
      {"password only, any user", "HTTPPswd = s3cret\n", basic_auth_header("anyone", "s3cret"), 200},
      {"password only, wrong password", "HTTPPswd = s3cret\n", basic_auth_header("anyone", "S3cret"), 401},
      {"both right", "HTTPUser = admin\nHTTPPswd = s3cret\n", basic_auth_header("admin", "s3cret"), 200},
      {"both, wrong password", "HTTPUser = admin\nHTTPPswd = s3cret\n", basic_auth_header("admin", "nope"), 401},
      {"both, wrong user", "HTTPUser = admin\nHTTPPswd = s3cret\n", basic_auth_header("root", "s3cret"), 401},
      {"no header", "HTTPUser = admin\n", "", 401},
      {"header in other case", "HTTPUser = admin\n",
       "AUTHORIZATION: basic " + testsupport::base64("admin:") + "\r\n", 200},
      {"not Basic", "HTTPUser = admin\n", "Authorization: Digest abc\r\n", 400},
  };
  for (const AuthCase& c : cases) {
    SCOPED_TRACE(c.name);
    HttpServer server(c.settings);
    ASSERT_TRUE(server.ok());
    const HttpAnswer a = server.get("/config", c.header);
    EXPECT_EQ(a.status, c.status) << a.raw.substr(0, 300);
    if (c.status == 401) {
      EXPECT_EQ(a.raw,
                "HTTP/1.0 401 Authorization required\r\nMIME-version: 1.0\r\n"
                "Content-Type: text/html\r\n"
                "WWW-Authenticate: Basic realm=\"QX Zentrim database server\"\r\n\r\n"
                "<head><title>401 Authorization required</title></head>\n"
                "<body><h1>401 Authorization required</h1></body>\n");
    }
    if (c.status == 200) {
      EXPECT_TRUE(a.has("<tr><th align=left>HttpUser/HttpPswd<td>Yes"));
    }
  }
}

TEST(ZentDb6Http, AFailedAuthenticationLogsNoPassword) {
  HttpServer server("HTTPUser = admin\nHTTPPswd = Corr3ctHorse\n", "A2D2T2");
  ASSERT_TRUE(server.ok());
  const HttpAnswer a = server.get("/config", testsupport::basic_auth_header("admin", "WrongPa55"));
  EXPECT_EQ(a.status, 401);
  const testsupport::ProcessResult r = server.stop();
  EXPECT_NE(r.err.find("HTTP auth failed: user=admin pswd=********"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("HTTP auth: Basic ********"), std::string::npos);
  for (const std::string& secret :
       std::vector<std::string>{"WrongPa55", "Corr3ctHorse", testsupport::base64("admin:WrongPa55")})
    EXPECT_EQ(r.err.find(secret), std::string::npos) << secret << "\n" << r.err;
}

TEST(ZentDb6Http, FramePagesHaveNoTitleHeadingOrBar) {
  HttpServer server("HTTPFrame = 1\n");
  ASSERT_TRUE(server.ok());
  for (const char* path : {"/config", "/", "/perf"}) {
    SCOPED_TRACE(path);
    const HttpAnswer a = server.get(path);
    EXPECT_EQ(a.status, 200);
    EXPECT_FALSE(a.has("<title>"));
    EXPECT_FALSE(a.has("<h1>"));
    EXPECT_FALSE(a.has(kNavBar));
    EXPECT_EQ(a.body.rfind("<h3>", 0), 0u) << a.body;
  }
  EXPECT_TRUE(server.get("/config").has("<tr><th align=left>HttpFrame<td>Yes"));
}

// A silent browser and one that trickles its request a byte a second: the
// pages asked for meanwhile are answered at once, and both slow ones are
// closed at the request deadline, well before the frame time-out (30 s).
TEST(ZentDb6Http, SlowBrowsersHoldUpNoPageAndAreClosedAtTheRequestDeadline) {
  HttpServer server("");
  ASSERT_TRUE(server.ok()) << server.log();
  testsupport::expect_slow_browsers_hold_up_no_page(server.http_port(), 10000);
  EXPECT_NE(server.log().find("HTTP request time-out - dropping connection"), std::string::npos);
}

// Sixteen browsers are served at once; the seventeenth is refused with 503
// at once instead of waiting for a place.
TEST(ZentDb6Http, BrowsersBeyondTheCapAreRefusedAtOnce) {
  HttpServer server("");
  ASSERT_TRUE(server.ok()) << server.log();
  testsupport::expect_browsers_beyond_the_cap_refused(server.http_port(), 16);
}

// A browser that sends half a request line and stops: the server thread
// serves the protocol clients meanwhile, and closes the browser's
// connection at the frame time-out.
TEST(ZentDb6Http, AStalledBrowserDelaysNoOneAndIsClosedAtTheTimeOut) {
  HttpServer server("Timeout = 2\n");
  ASSERT_TRUE(server.ok());
  const int stalled = testsupport::connect_loopback(static_cast<uint16_t>(server.http_port()));
  ASSERT_GE(stalled, 0);
  const std::string half = "GET /con";
  ASSERT_EQ(send(stalled, half.data(), half.size(), MSG_NOSIGNAL), static_cast<ssize_t>(half.size()));
  ASSERT_TRUE(testsupport::eventually([&] { return server.log().find("HTTP connection from") != std::string::npos; }));
  const auto start = Clock::now();
  testsupport::ZentClient client;
  ASSERT_TRUE(client.connect(static_cast<uint16_t>(server.port())));
  ASSERT_TRUE(client.handshake());
  for (uint16_t id = 1; id <= 20; ++id) ASSERT_TRUE(client.noop(id));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  // The stalled request gets no answer; its connection is closed.
  const HttpAnswer a = testsupport::http_read_answer(stalled, 10000);
  close(stalled);
  EXPECT_FALSE(a.timed_out);
  EXPECT_EQ(a.raw, "");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_NE(server.log().find("HTTP request time-out - dropping connection"), std::string::npos);
  // The next browser is served.
  EXPECT_EQ(server.get("/config").status, 200);
}

TEST(ZentDb6Http, ClientTextsAreEscapedOnTheSessionPage) {
  HttpServer server("");
  ASSERT_TRUE(server.ok());
  testsupport::ZentClient client;
  ASSERT_TRUE(client.connect(static_cast<uint16_t>(server.port())));
  testsupport::StartupMessage m;
  m.platform = "<script>p&\"";
  m.os_user = "<script>alert(1)</script>";
  ASSERT_TRUE(client.handshake(m));
  const HttpAnswer a = server.get("/session");
  EXPECT_TRUE(a.has("Number of active sessions: 1<p>")) << a.body;
  EXPECT_TRUE(a.has("<td>&lt;script&gt;p&amp;&quot;<td>")) << a.body;
  // The operating-system user is shown with at most 20 characters.
  EXPECT_TRUE(a.has("<td>&lt;script&gt;alert(1)&lt;/sc<td>")) << a.body;
  EXPECT_FALSE(a.has("<script>"));
  EXPECT_TRUE(a.has("<td>127.0.0.1:"));
}

// --- in a real browser ----------------------------------------------------

#define SKIP_WITHOUT_CHROMIUM()                                               \
  do {                                                                        \
    if (testsupport::chromium_program().empty())                              \
      GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)"; \
  } while (0)

TEST(ZentDb6HttpBrowser, EveryPageRendersWithAndWithoutTheFrame) {
  SKIP_WITHOUT_CHROMIUM();
  for (const bool frame : {false, true}) {
    SCOPED_TRACE(frame ? "HTTPFrame" : "framed");
    HttpServer server(frame ? "HTTPFrame = 1\n" : "");
    ASSERT_TRUE(server.ok());
    for (const RouteCase& c : kRoutes) {
      if (std::string(c.path) == "/index" || std::string(c.path) == "/config/") continue;
      SCOPED_TRACE(c.path);
      const testsupport::ProcessResult r = testsupport::chromium_dump_dom(server.url(c.path), server.dir());
      ASSERT_EQ(r.exit_status, 0) << r.err;
      EXPECT_NE(r.out.find(c.marker), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("Last update: "), std::string::npos);
      EXPECT_EQ(r.out.find("<title>QX Zentrim Database Status</title>") != std::string::npos, !frame);
      EXPECT_EQ(r.out.find(">Performance</a>]") != std::string::npos, !frame) << r.out;
    }
    const std::string png = server.dir().file("config.png");
    const testsupport::ProcessResult shot = testsupport::chromium_screenshot(server.url("/config"), png, server.dir());
    ASSERT_EQ(shot.exit_status, 0) << shot.err;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(testsupport::png_size(png, &w, &h));
    EXPECT_EQ(w, 1024u);
    EXPECT_EQ(h, 768u);
    // A page with text and tables is no blank image.
    EXPECT_GT(testsupport::read_file(png).size(), 10000u);
  }
}

TEST(ZentDb6HttpBrowser, TheBarImageLoadsAsAnImage) {
  SKIP_WITHOUT_CHROMIUM();
  HttpServer server("");
  ASSERT_TRUE(server.ok());
  // A page whose image is the bar of the performance page: its load
  // handler writes the decoded size into the document.
  server.dir().write("bar.html",
                     "<html><body><img id=bar src=\"" + server.url("/blue-pixel.gif") +
                         "\" width=30 height=6 onload=\"document.getElementById('out').textContent="
                         "'loaded '+this.naturalWidth+'x'+this.naturalHeight\"><p id=out>waiting</p>"
                         "</body></html>");
  const testsupport::ProcessResult r =
      testsupport::chromium_dump_dom("file://" + server.dir().file("bar.html"), server.dir());
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_NE(r.out.find("<p id=\"out\">loaded 1x1</p>"), std::string::npos) << r.out;
  EXPECT_NE(server.log().find("HTTP request GET /blue-pixel.gif"), std::string::npos);
  // The performance page as the browser shows it before any minute passed.
  const testsupport::ProcessResult perf = testsupport::chromium_dump_dom(server.url("/perf"), server.dir());
  EXPECT_NE(perf.out.find("Average server load"), std::string::npos) << perf.out;
}

}  // namespace
