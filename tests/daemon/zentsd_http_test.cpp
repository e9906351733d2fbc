// zentsd's HTTP status pages over TCP against the real daemon: the routes
// and their headings, the index for anything else, frame-less pages, Basic
// authentication with the Base64 edge cases, a registered platform shown
// escaped, a silent browser that holds up no client, silent and trickling
// browsers that hold up no other page and are closed at the request
// deadline, the cap on browsers served at once, no password in the log,
// and the pages in headless Chromium. The time texts as a table.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <cstdio>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "daemon/daemon_fixture.h"
#include "daemon/daemon_http.h"
#include "support/chromium.h"
#include "support/http_client.h"
#include "support/net_util.h"
#include "support/slow_browsers.h"

namespace {

using testsupport::HttpAnswer;
using Clock = std::chrono::steady_clock;

struct ElapsedCase {
  long seconds;
  const char* text;
};

TEST(DaemonHttpTime, TextsOfTheTimeSinceRegistration) {
  const ElapsedCase cases[] = {
      {0, "00:00:00"},
      {59, "00:00:59"},
      {26 * 3600, "1 days, 02:00:00"},
      {40L * 86400, "1 months, 9 days, 00:00:00"},
      {400L * 86400 + 61, "1 years, 1 months, 4 days, 00:01:01"},
      {31L * 86400, "1 months, 00:00:00"},
      {-1, "<em>conversion failed</em>"},
  };
  for (const ElapsedCase& c : cases) {
    char buf[96];
    EXPECT_STREQ(zentsd::daemon_http_elapsed(c.seconds, buf, sizeof buf), c.text) << c.seconds;
  }
}

class ZentsdHttp : public testsupport::DaemonFixture {
 protected:
  // Starts the daemon with serviceHTTP, the extra configuration lines and
  // the log flags.
  bool start_daemon(const std::string& extra, const char* flags = "C1S2N1") {
    daemon_.stop();
    http_port_ = testsupport::free_tcp_port();
    write("etc/zentsd.cfg", "[config]\nserviceHTTP = " + std::to_string(http_port_) + "\n" + extra);
    write("etc/zentsd.share", "[DATA]\nPath = /tmp/<data>\nComment = <b>main</b>\n[TEMP]\nPath = /tmp\n");
    write("etc/zentsd.user", "[JOE]\nName = Joe <J>\nUID = joe\n[ANN]\nName = Ann\n");
    return daemon_.start(ZENTSD_PATH, path("etc/zentsd.cfg"), flags, env());
  }
  HttpAnswer get(const std::string& p, const std::string& headers = "") {
    return testsupport::http_raw(http_port_, testsupport::http_get_request(p, headers));
  }
  std::string url(const std::string& p) const { return "http://127.0.0.1:" + std::to_string(http_port_) + p; }
  int http_port_ = -1;
};

struct RouteCase {
  const char* path;
  const char* marker;
};
const RouteCase kRoutes[] = {
    {"/config", "<h3>Server Status</h3>"},
    {"/user", "<h3>Configured users</h3>"},
    {"/share", "<h3>Configured Shares</h3>"},
    {"/session", "<h3>Active Sessions</h3>"},
    {"/task", "<h3>Active Tasks</h3>"},
    {"/", "This provides a short overview about the available pages(this one)."},
    {"/Config", "This provides a short overview about the available pages(this one)."},
    {"/nothing/here", "This provides a short overview about the available pages(this one)."},
};

TEST_F(ZentsdHttp, EveryRouteAnswersItsPage) {
  ASSERT_TRUE(start_daemon(""));
  for (const RouteCase& c : kRoutes) {
    SCOPED_TRACE(c.path);
    const HttpAnswer a = get(c.path);
    EXPECT_EQ(a.status_line, "HTTP/1.0 200 OK");
    EXPECT_EQ(a.headers, "MIME-version: 1.0\r\nContent-Type: text/html");
    EXPECT_TRUE(a.has(c.marker)) << a.raw;
    EXPECT_EQ(a.body.rfind("<head><title>QX Zentrim Server Status</title></head>\n<body>\n"
                           "<h1>QX Zentrim Server Status</h1>\n<B>[<A HREF=\"http://127.0.0.1:",
                           0),
              0u)
        << a.body;
    EXPECT_TRUE(a.has("/session\">Session</A>]\n[<A HREF=\"http://127.0.0.1:" + std::to_string(http_port_) +
                      "/task\">Task</A>]</B>\n<HR>\n"));
    EXPECT_TRUE(a.has("<p><hr><em>Last update: "));
    EXPECT_FALSE(a.reset);
  }
  const HttpAnswer config = get("/config");
  EXPECT_TRUE(config.has("<tr><th align=left>serviceHTTP<td>" + std::to_string(http_port_) + "\n"));
  EXPECT_TRUE(config.has("<tr><th align=left>user<td><em>unspecified</em>\n")) << config.body;
  EXPECT_TRUE(config.has("<tr><th align=left>security<td><em>server</em>\n"));
  EXPECT_TRUE(config.has("<tr><th align=left>panic<td>exit\n"));
  EXPECT_TRUE(config.has("<tr><th align=left>MaxTasks<td>20\n"));
  const HttpAnswer users = get("/user");
  EXPECT_TRUE(users.has("<tr><td>JOE<td>Joe &lt;J&gt;<td>joe\n")) << users.body;
  EXPECT_TRUE(users.has("<tr><td>ANN<td>Ann<td><em>default</em>\n"));
  const HttpAnswer shares = get("/share");
  EXPECT_TRUE(shares.has("<tr><td>DATA<td>&lt;b&gt;main&lt;/b&gt;<td>/tmp/&lt;data&gt;\n")) << shares.body;
  EXPECT_TRUE(shares.has("<tr><td>TEMP<td>&nbsp<td>/tmp\n"));
}

TEST_F(ZentsdHttp, FramePagesHaveNoTitleHeadingOrBar) {
  ASSERT_TRUE(start_daemon("httpFrame = 1\n"));
  for (const char* p : {"/config", "/", "/session"}) {
    SCOPED_TRACE(p);
    const HttpAnswer a = get(p);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body.rfind("<h3>", 0), 0u) << a.body;
    EXPECT_FALSE(a.has("<title>"));
  }
}

struct AuthCase {
  const char* name;
  const char* settings;
  std::string header;
  int status;
};

TEST_F(ZentsdHttp, BasicAuthenticationWithTheBase64Rules) {
  using testsupport::basic_auth_header;
  const AuthCase cases[] = {
      {"user only, right", "httpUSER = a\n", basic_auth_header("a", "zz"), 200},
      {"user only, wrong", "httpUSER = a\n", basic_auth_header("b", "zz"), 401},
      {"password only, right", "httpPSWD = pw\n", basic_auth_header("anyone", "pw"), 200},
      {"password only, wrong", "httpPSWD = pw\n", basic_auth_header("anyone", "PW"), 401},
      {"both right", "httpUSER = a\nhttpPSWD = pw\n", basic_auth_header("a", "pw"), 200},
      {"both, wrong password", "httpUSER = a\nhttpPSWD = pw\n", basic_auth_header("a", "p"), 401},
      {"no header", "httpUSER = a\n", "", 401},
      {"not Basic", "httpUSER = a\n", "Authorization: Negotiate YQ==\r\n", 400},
      // "==" after two characters: one byte, "a".
      {"two characters and ==", "httpUSER = a\n", "Authorization: Basic YQ==\r\n", 200},
      // "=" after three characters: two bytes, "ab".
      {"three characters and =", "httpUSER = ab\n", "Authorization: Basic YWI=\r\n", 200},
      // Whatever follows the first "=" is ignored: still "a".
      {"text after the first =", "httpUSER = a\n", "Authorization: Basic YQ==OmJhZA==\r\n", 200},
      // A lone last character yields nothing: "ab" and no more.
      {"a lone last character", "httpUSER = ab\n", "Authorization: Basic YWJjZ\r\n", 401},
      {"a lone last character after a group", "httpUSER = abc\n", "Authorization: Basic YWJjZ\r\n", 200},
  };
  for (const AuthCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(start_daemon(c.settings));
    const HttpAnswer a = get("/config", c.header);
    EXPECT_EQ(a.status, c.status) << a.raw.substr(0, 300);
    if (c.status == 401) {
      EXPECT_TRUE(a.has("\r\nWWW-Authenticate: Basic realm=\"QX Zentrim Daemon\"\r\n\r\n")) << a.raw;
      EXPECT_TRUE(a.has("<body><h1>401 Authorization required</h1></body>\n"));
    }
    if (c.status == 400) {
      EXPECT_EQ(a.status_line, "HTTP/1.0 400 Bad Request");
    }
  }
}

TEST_F(ZentsdHttp, AFailedAuthenticationLogsNoPassword) {
  ASSERT_TRUE(start_daemon("httpUSER = admin\nhttpPSWD = Tr0ub4dor\n"));
  EXPECT_EQ(get("/config", testsupport::basic_auth_header("admin", "Guess3d")).status, 401);
  ASSERT_TRUE(daemon_.wait_for("HTTP auth failed: user=admin pswd=********"));
  const std::string log = daemon_.stop().err;
  EXPECT_NE(log.find("HTTP auth: Basic ********"), std::string::npos) << log;
  for (const std::string& secret :
       std::vector<std::string>{"Tr0ub4dor", "Guess3d", testsupport::base64("admin:Guess3d")})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
}

TEST_F(ZentsdHttp, ARegisteredPlatformIsShownEscaped) {
  config_extra = "serviceHTTP = " + std::to_string(http_port_ = testsupport::free_tcp_port()) + "\n";
  ASSERT_TRUE(start());
  testsupport::ZentsdStartup m;
  m.platform = "<script>";
  ASSERT_EQ(client_.startup(m).status, 0);
  HttpAnswer a;
  ASSERT_TRUE(testsupport::eventually([&] {
    a = get("/session");
    return a.has("Number of active sessions: 1<p>") && a.has("&lt;script&gt;");
  })) << a.body;
  EXPECT_FALSE(a.has("<script>"));
  EXPECT_TRUE(a.has("<td>" + std::to_string(handler_) + "<td>&nbsp;<td><em>unknown</em><td>127.0.0.1<td>"))
      << a.body;
  EXPECT_TRUE(get("/task").has("Number of active tasks: 0<p>"));
}

TEST_F(ZentsdHttp, ASilentBrowserDelaysNoClient) {
  ASSERT_TRUE(start_daemon(""));
  // One browser connects and says nothing; another sends half a line.
  const int silent = testsupport::connect_loopback(static_cast<uint16_t>(http_port_));
  const int half = testsupport::connect_loopback(static_cast<uint16_t>(http_port_));
  ASSERT_GE(silent, 0);
  ASSERT_GE(half, 0);
  send(half, "GET /co", 7, MSG_NOSIGNAL);
  const auto t0 = Clock::now();
  ASSERT_TRUE(client_.connect(static_cast<uint16_t>(daemon_.port())));
  handler_ = daemon_.next_handler();
  ASSERT_GT(handler_, 0);
  EXPECT_TRUE(startup());
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  close(silent);
  close(half);
  // Once the silent browser is gone the next one is answered.
  EXPECT_EQ(get("/config").status, 200);
}

// A silent browser and one that trickles its request a byte a second: the
// pages asked for meanwhile are answered at once, and both slow ones are
// closed at the request deadline.
TEST_F(ZentsdHttp, SlowBrowsersHoldUpNoPageAndAreClosedAtTheRequestDeadline) {
  ASSERT_TRUE(start_daemon(""));
  testsupport::expect_slow_browsers_hold_up_no_page(http_port_, zentsd::kDaemonHttpRequestMs);
}

// Browsers asking for pages at the same time while the user and share
// files are written anew (so each page may read its table again): every
// page whole, and no report from the sanitizers watching the daemon's
// threads (it would land in its log).
TEST_F(ZentsdHttp, SeveralBrowsersAreServedAtOnce) {
  ASSERT_TRUE(start_daemon(""));
  const RouteCase pages[] = {{"/user", "<tr><td>JOE<td>Joe &lt;J&gt;<td>joe\n"},
                             {"/share", "<td>&lt;b&gt;main&lt;/b&gt;"},
                             {"/session", "Number of active sessions: 0<p>"}};
  // Long tables, so that a read of one lasts while other browsers read it.
  std::string users = "[JOE]\nName = Joe <J>\nUID = joe\n";
  std::string shares = "[DATA]\nPath = /tmp\nComment = <b>main</b>\n";
  for (int i = 0; i < 300; ++i) {
    users += "[U" + std::to_string(i) + "]\nName = User " + std::to_string(i) + "\n";
    shares += "[S" + std::to_string(i) + "]\nPath = /tmp/" + std::to_string(i) + "\n";
  }
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int n = 0; !done; ++n) {
      // Whole files only: written aside, then renamed over.
      write("etc/next", users + "; " + std::to_string(n) + "\n");
      rename(path("etc/next").c_str(), path("etc/zentsd.user").c_str());
      write("etc/next", shares + "; " + std::to_string(n) + "\n");
      rename(path("etc/next").c_str(), path("etc/zentsd.share").c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::atomic<int> whole{0};
  std::vector<std::thread> browsers;
  for (int b = 0; b < 8; ++b)
    browsers.emplace_back([&, b] {
      for (int i = 0; i < 12; ++i) {
        const RouteCase& p = pages[(b + i) % 3];
        const HttpAnswer a = get(p.path);
        if (a.status == 200 && a.has(p.marker) && a.has("</body>\n")) ++whole;
      }
    });
  for (std::thread& t : browsers) t.join();
  done = true;
  writer.join();
  EXPECT_EQ(whole.load(), 96);
  const testsupport::ProcessResult r = daemon_.stop();
  EXPECT_EQ(r.err.find("ThreadSanitizer"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("AddressSanitizer"), std::string::npos) << r.err;
}

// Browsers served at once are capped; one more is refused with 503 at once.
TEST_F(ZentsdHttp, BrowsersBeyondTheCapAreRefusedAtOnce) {
  ASSERT_TRUE(start_daemon(""));
  testsupport::expect_browsers_beyond_the_cap_refused(http_port_, zentsd::kDaemonHttpConnections);
}

#define SKIP_WITHOUT_CHROMIUM()                                                     \
  do {                                                                              \
    if (testsupport::chromium_program().empty())                                    \
      GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";   \
  } while (0)

TEST_F(ZentsdHttp, PagesRenderInABrowserWithAndWithoutTheFrame) {
  SKIP_WITHOUT_CHROMIUM();
  testsupport::TempDir dir;
  for (const bool frame : {false, true}) {
    SCOPED_TRACE(frame ? "httpFrame" : "framed");
    ASSERT_TRUE(start_daemon(frame ? "httpFrame = 1\n" : ""));
    for (const RouteCase& c : kRoutes) {
      if (std::string(c.path) == "/nothing/here") continue;
      SCOPED_TRACE(c.path);
      const testsupport::ProcessResult r = testsupport::chromium_dump_dom(url(c.path), dir);
      ASSERT_EQ(r.exit_status, 0) << r.err;
      EXPECT_NE(r.out.find(c.marker), std::string::npos) << r.out;
      EXPECT_EQ(r.out.find("<title>QX Zentrim Server Status</title>") != std::string::npos, !frame);
      EXPECT_EQ(r.out.find(">Task</a>]") != std::string::npos, !frame) << r.out;
    }
    const std::string png = dir.file(frame ? "frame.png" : "framed.png");
    const testsupport::ProcessResult shot = testsupport::chromium_screenshot(url("/share"), png, dir, 800, 600);
    ASSERT_EQ(shot.exit_status, 0) << shot.err;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(testsupport::png_size(png, &w, &h));
    EXPECT_EQ(w, 800u);
    EXPECT_EQ(h, 600u);
    EXPECT_GT(testsupport::read_file(png).size(), 5000u);
  }
}

}  // namespace
