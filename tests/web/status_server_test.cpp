#include "web/status_server.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <set>

#include "app/status_thumbnails.h"
#include "common/temp_dir.h"
#include "web/http_client.h"
#include "web/status_render.h"

namespace brisko {
namespace {

using test::HttpGet;
using test::HttpReply;
using test::RawHttp;

constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
constexpr const char* kHostile = "<img src=x onerror=alert(1)>.jpg";

void Fill(StatusBoard& board) {
  board.Update([](StatusSnapshot& s) {
    s.name = "Brisko Event File Workflow";
    s.host = "booth-3";
    s.version = "9.9";
    s.state = StationState::Running;
    s.action = "Cards (Move Files from Media)";
    s.progressPosition = 3;
    s.progressRange = 12;
    s.progressText = "Moving files";
    s.day = "2026-12-07";
    s.today.moved = 5;
    s.today.failures = 1;
    s.lastPass = 1'700'000'000;
    s.destinations.push_back({"Cards", "/srv/out", true, 1'000'000'000, 100'000'000'000, true});
    s.log.push_front({1'700'000'000, std::string("Cards (Move Files) FAILED: Copy file ") + kHostile, true});
    s.log.push_front({1'700'000'001, "bad byte \xff here", false});
    s.log.push_front(
        {1'700'000'002, "Cards (Move Files) Moved file from /in/\xE2\x80\xAEgpj.exe to /out", false});
  });
}

class StatusServerTest : public ::testing::Test {
 protected:
  // Starts the page on a free loopback port (kept in `port`); false when it did not start.
  bool Start(std::optional<bool> requireKey = {}, StatusServerLimits limits = {}) {
    StatusPageConfig config;
    config.enabled = true;
    config.port = 0;
    config.key = kKey;
    std::string error;
    server = WebStatusServer::Start(config, board, &error, limits, requireKey);
    EXPECT_TRUE(server) << error;
    port = server ? server->Port() : 0;
    return bool(server);
  }
  HttpReply Get(const std::string& target, const std::string& method = "GET", const std::string& host = "") {
    return HttpGet("127.0.0.1", port, target, method, host);
  }
  StatusBoard board;
  std::unique_ptr<WebStatusServer> server;
  int port = 0;
};

TEST_F(StatusServerTest, RoutesMethodsAndHeaders) {
  Fill(board);
  ASSERT_TRUE(Start());
  EXPECT_EQ(server->Url(), "http://127.0.0.1:" + std::to_string(port) + "/");
  struct Case {
    const char* method;
    std::string target;
    int status;
    const char* type;  // start of Content-Type
  } cases[] = {
      {"GET", "/", 200, "text/html"},
      {"GET", "/?x=1", 200, "text/html"},
      {"GET", "/status.json", 200, "application/json"},
      {"GET", "/app.js", 200, "text/javascript"},
      {"GET", "/app.css", 200, "text/css"},
      {"HEAD", "/status.json", 200, "application/json"},
      {"POST", "/", 405, "text/plain"},
      {"PUT", "/status.json", 405, "text/plain"},
      {"OPTIONS", "/", 405, "text/plain"},
      {"GET", "/../etc/passwd", 404, "text/plain"},
      {"GET", "/%2e%2e/%2e%2e/etc/passwd", 404, "text/plain"},
      {"GET", "/%2E%2E%2Fetc%2Fpasswd", 404, "text/plain"},
      {"GET", "/status.json/", 404, "text/plain"},
      {"GET", "//status.json", 404, "text/plain"},
      {"GET", "/index.html", 404, "text/plain"},
      {"GET", "/app.js/../status.json", 404, "text/plain"},
      {"GET", "/app.js%00", 404, "text/plain"},
      {"GET", "/app.js%00.png", 404, "text/plain"},
      {"GET", "/status.json?pad=" + std::string(20 * 1024, 'a'), 431, "text/plain"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    HttpReply r = Get(c.target, c.method);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.headers["content-type"].rfind(c.type, 0), 0u) << r.headers["content-type"];
    EXPECT_EQ(r.headers["content-security-policy"], "default-src 'self'");
    EXPECT_EQ(r.headers["x-content-type-options"], "nosniff");
    EXPECT_EQ(r.headers["referrer-policy"], "no-referrer");
    if (c.status == 405) {
      EXPECT_EQ(r.headers["allow"], "GET, HEAD");
    }
    if (std::string(c.method) == "HEAD") {
      EXPECT_TRUE(r.body.empty());
    }
    if (c.status == 404) {
      EXPECT_EQ(r.body, "Not found\n");
    }
  }
}

TEST_F(StatusServerTest, KeyRules) {
  Fill(board);
  ASSERT_TRUE(Start(true));
  EXPECT_EQ(server->Url(), "http://127.0.0.1:" + std::to_string(port) + "/?key=" + kKey);
  const std::string key = kKey;
  struct Case {
    std::string target;
    int status;
  } cases[] = {
      {"/", 403},
      {"/status.json", 403},
      {"/status.json?key=", 403},
      {"/status.json?key=" + key.substr(0, 31), 403},
      {"/status.json?key=" + key + "0", 403},
      {"/status.json?key=" + key.substr(0, 31) + "0", 403},
      {"/status.json?key=" + key, 200},
      {"/?key=" + key, 200},
      {"/app.js?key=" + key, 200},
      {"/nothing?key=" + key, 404},
      {"/nothing", 403},  // without the key nothing is told, not even what exists
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const HttpReply r = Get(c.target);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 403) {
      EXPECT_EQ(r.body, "Forbidden\n");
    }
  }
  // The page hands the key on to its script, style sheet and poll.
  const HttpReply page = Get("/?key=" + key);
  EXPECT_NE(page.body.find("/app.js?key=" + key), std::string::npos);
}

TEST_F(StatusServerTest, WithoutKeyOnlyLocalHostNamesAreServed) {
  ASSERT_TRUE(Start());
  const std::string p = ":" + std::to_string(port);
  struct Case {
    std::string host;
    int status;
  } cases[] = {{"127.0.0.1" + p, 200}, {"localhost" + p, 200},    {"localhost", 200},
               {"[::1]" + p, 200},     {"evil.example" + p, 403}, {"127.0.0.1.evil.example", 403}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(Get("/status.json", "GET", c.host).status, c.status);
  }
  EXPECT_EQ(RawHttp("127.0.0.1", port, "GET /status.json HTTP/1.0\r\n\r\n").status, 200);
}

TEST_F(StatusServerTest, HostileFileNamesStayText) {
  Fill(board);
  ASSERT_TRUE(Start());
  const HttpReply page = Get("/");
  EXPECT_EQ(page.body.find("<img"), std::string::npos);
  EXPECT_NE(page.body.find("&lt;img src=x onerror=alert(1)&gt;.jpg"), std::string::npos);
  EXPECT_NE(page.body.find("<li class=\"failed\">"), std::string::npos);
  EXPECT_NE(page.body.find("bad byte <bdi>\xEF\xBF\xBD</bdi> here"), std::string::npos);
  // A right-to-left override reverses its own name at most, not the rest of the line.
  EXPECT_NE(page.body.find("from <bdi>/in/\xE2\x80\xAEgpj.exe</bdi> to /out"), std::string::npos);
  const HttpReply json = Get("/status.json");
  EXPECT_EQ(json.body.find('<'), std::string::npos);
  EXPECT_EQ(json.body.find('\xff'), std::string::npos);
}

TEST_F(StatusServerTest, JsonCarriesEveryField) {
  Fill(board);
  ASSERT_TRUE(Start());
  const std::string body = Get("/status.json").body;
  for (const char* field :
       {"\"name\":\"Brisko Event File Workflow\"", "\"host\":\"booth-3\"", "\"version\":\"9.9\"",
        "\"state\":\"running\"", "\"stateText\":\"running Cards (Move Files from Media)\"",
        "\"progress\":{\"position\":3,\"range\":12,\"text\":\"Moving files\"}", "\"lastPass\":\"20",
        "\"today\":{\"day\":\"2026-12-07\",\"moved\":5,\"copied\":0,\"checked\":0,\"deleted\":0,\"tagged\":0,\"rotated\":0,"
        "\"picturesMade\":0,\"pagesPrinted\":0,\"failures\":1}",
        "\"folder\":\"/srv/"
        "out\",\"known\":true,\"freeBytes\":1000000000,\"totalBytes\":100000000000,\"low\":true",
        "\"failed\":true", "\"log\":[{\"time\":"}) {
    EXPECT_NE(body.find(field), std::string::npos) << field << "\n" << body;
  }
  // Newest first.
  EXPECT_LT(body.find("bad byte"), body.find("FAILED"));
  // A change on the board shows in the next answer.
  board.Update([](StatusSnapshot& s) { s.today.moved = 6; });
  EXPECT_NE(Get("/status.json").body.find("\"moved\":6"), std::string::npos);
}

TEST_F(StatusServerTest, RequestsPerClientAreLimited) {
  StatusServerLimits limits;
  limits.requestsPerSecond = 0.5;
  limits.burst = 3;
  limits.limitLoopbackClients = true;
  ASSERT_TRUE(Start({}, limits));
  std::vector<int> got;
  for (int i = 0; i < 5; ++i) got.push_back(Get("/status.json").status);
  EXPECT_EQ(got, (std::vector<int>{200, 200, 200, 429, 429}));
}

TEST_F(StatusServerTest, SlowClientsAreDropped) {
  StatusServerLimits limits;
  limits.timeoutSeconds = 1;
  ASSERT_TRUE(Start({}, limits));
  const int fd = test::ConnectTo("127.0.0.1", port);
  ASSERT_GE(fd, 0);
  // A half-sent request does not hold its connection past the timeout.
  send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
  const auto start = std::chrono::steady_clock::now();
  char c;
  EXPECT_EQ(recv(fd, &c, 1, 0), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  close(fd);
}

// Clients that send a header line now and then neither fill the server nor outlast the deadline.
TEST_F(StatusServerTest, SlowRequestsCannotHoldThePage) {
  StatusServerLimits limits;
  limits.requestSeconds = 1;
  ASSERT_TRUE(Start({}, limits));
  std::vector<int> slow;
  for (int i = 0; i < 16; ++i) {
    // Each from an address of its own, so the per-client cap does not turn them away.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ("127.0.1." + std::to_string(i + 1)).c_str(), &a.sin_addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
    slow.push_back(fd);
  }
  EXPECT_EQ(Get("/status.json").status, 200);
  // Still sending, but past the deadline for the whole request: dropped.
  for (int fd : slow) {
    send(fd, "X-A: b\r\n", 8, MSG_NOSIGNAL);
    char c;
    const ssize_t n = recv(fd, &c, 1, 0);
    EXPECT_TRUE(n == 0 || (n < 0 && errno != EAGAIN)) << n;
    close(fd);
  }
}

// Thumbnails only of the photos the page lists, by their ids; a photo gone is a 404, not an error.
TEST_F(StatusServerTest, ThumbnailsOfListedPhotosOnly) {
  StatusThumbnails thumbs;
  board.SetThumbnails(&thumbs);
  ASSERT_TRUE(Start());
  const std::string photo = std::string(BRISKO_TEST_DATA) + "/jpeg/ljt/testorig.jpg";
  thumbs.Add(photo, "Card", 1);                 // id 1: decoded and made small
  thumbs.Add("/nonexistent/x.jpg", "Card", 2);  // id 2: gone
  HttpReply r = Get("/thumb/1.jpg");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["content-type"], "image/jpeg");
  EXPECT_EQ(r.body.substr(0, 2), "\xFF\xD8");
  EXPECT_LE(r.body.size(), StatusThumbnails::kMaxBytes);
  for (const char* target : {"/thumb/2.jpg", "/thumb/3.jpg", "/thumb/01.jpg", "/thumb/1.png", "/thumb/.jpg",
                             "/thumb/1%00.jpg", "/thumb/-1.jpg", "/thumb/99999999999999999999.jpg"})
    EXPECT_EQ(Get(target).status, 404) << target;
  // Pushed off the list: no longer served.
  for (int i = 0; i < int(StatusThumbnails::kCount); ++i) thumbs.Add(photo, "Card", 3);
  EXPECT_EQ(Get("/thumb/1.jpg").status, 404);
  EXPECT_EQ(Get("/thumb/14.jpg").status, 200);
}

TEST_F(StatusServerTest, StartFailures) {
  struct Case {
    const char* address;
    int port;
    const char* key;
  } cases[] = {
      {"localhost", 0, kKey}, {"127.0.0.1", 70000, kKey}, {"0.0.0.0", 0, ""}, {"10.1.2.3", 0, "short"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    StatusPageConfig config{true, c.address, c.port, c.key};
    std::string error;
    EXPECT_FALSE(WebStatusServer::Start(config, board, &error));
    EXPECT_FALSE(error.empty());
  }
  // A port in use is told, not fatal.
  ASSERT_TRUE(Start());
  StatusPageConfig taken{true, "127.0.0.1", port, ""};
  std::string error;
  EXPECT_FALSE(WebStatusServer::Start(taken, board, &error));
  EXPECT_NE(error.find("cannot listen"), std::string::npos);
}

TEST(StatusKeys, ConstantTimeCompareAnswersRight) {
  const std::string key = kKey;
  EXPECT_TRUE(KeysMatch(key, key));
  for (const std::string& other :
       {std::string(), key.substr(1), key + "a", std::string(32, '0'), std::string("1") + key.substr(1)})
    EXPECT_FALSE(KeysMatch(other, key)) << other;
  EXPECT_FALSE(KeysMatch("", ""));
}

TEST(StatusRender, Utf8AndEscaping) {
  struct Case {
    std::string in;
    std::string utf8;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x93\xB7", "\xF0\x9F\x93\xB7"},
      {"a\xFF", "a\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong "/"
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // cut short
  };
  for (const Case& c : cases) EXPECT_EQ(ValidUtf8(c.in), c.utf8) << c.in;
  EXPECT_EQ(HtmlEscape("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
  EXPECT_EQ(JsonString("a\"b\\c\n\x01<"), "\"a\\\"b\\\\c\\u000a\\u0001\\u003c\"");
}

// The printers in words, with their figures and supplies, in the page and its JSON alike.
TEST(StatusRender, PrintersInWords) {
  StatusSnapshot s;
  EXPECT_NE(RenderStatusHtml(s, "", 0).find("<div id=\"printers-box\" hidden>"), std::string::npos);
  PrinterSnapshot out;
  out.queue = kHostile;
  out.polled = out.reachable = true;
  out.state = "stopped";
  out.problems = DescribeReasons({"media-empty-error", "paused"});
  out.message = "Load paper";
  out.jobsWaiting = 1;
  out.pagesToday = 14;
  out.printsLeft = 36;
  out.supplies = {{"Black Ink", "ink", 80}, {"", "ribbon", -1}};
  PrinterSnapshot idle;
  idle.queue = "Selphy";
  idle.polled = idle.reachable = idle.canPrint = true;
  idle.state = "idle";
  s.printers = {out, idle};
  const std::string html = RenderStatusHtml(s, "", 0);
  EXPECT_EQ(html.find(kHostile), std::string::npos);
  for (const char* part :
       {"<div id=\"printers-box\"><h2>Printers</h2>", "<li class=\"printer bad\">",
        "<span class=\"pstate\">paper out (media-empty), stopped queue (paused)</span>", "Load paper",
        "1 job waiting, 14 pages printed today, 36 prints left",
        "Supplies: Black Ink 80%, ribbon level unknown",
        "<li class=\"printer\"><b><bdi>Selphy</bdi></b>: <span class=\"pstate\">idle</span>",
        "<span class=\"figures\">0 pages printed today</span>"}) {
    EXPECT_NE(html.find(part), std::string::npos) << part << "\n" << html;
  }
  // A photo waiting for paper says so, rather than "0 jobs waiting".
  PrinterSnapshot empty = idle;
  empty.canPrint = false;
  empty.problems = DescribeReasons({"media-empty-error"});
  empty.photosWaiting = 1;
  s.printers.push_back(empty);
  EXPECT_NE(
      RenderStatusHtml(s, "", 0).find("<span class=\"pstate\">Waiting for paper: 1 photo</span><br><span "
                                      "class=\"figures\">1 photo to print, 0 pages printed today</span>"),
      std::string::npos)
      << RenderStatusHtml(s, "", 0);
  s.printers.back().problems = {{"paused", "Paused", true}};
  s.printers.back().photosWaiting = 2;
  EXPECT_NE(RenderStatusJson(s, 0).find("\"stateText\":\"Waiting: 2 photos - Paused\""), std::string::npos);
  s.printers.pop_back();
  // The verdict says which printer cannot print and why.
  s.printers[0].queue = "Selphy 2";
  s.state = StationState::RunningContinuously;
  EXPECT_EQ(MakeVerdict(s, 0).text, "Printer Selphy 2: paper out (media-empty), stopped queue (paused)");
  EXPECT_EQ(MakeVerdict(s, 0).level, VerdictLevel::Failing);
  const std::string json = RenderStatusJson(s, 0);
  for (const char* part :
       {"\"state\":\"stopped\",\"stateText\":\"paper out (media-empty), stopped queue (paused)\","
        "\"canPrint\":false",
        "{\"keyword\":\"media-empty\",\"text\":\"paper out (media-empty)\",\"blocks\":true}",
        "\"jobsWaiting\":1,\"pagesToday\":14,\"printsLeft\":36",
        "{\"name\":\"Black Ink\",\"type\":\"ink\",\"level\":80}", "\"printsLeft\":null"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }
}

// The README's table of the JSON fields names every field the page writes, nested ones included,
// so a field added to the page cannot go unexplained.
TEST(StatusRender, TheReadmeNamesEveryJsonField) {
  StatusSnapshot s;
  s.busy = {"Send (Move Files)", 1'700'000'000, "/usr/bin/enhance", "/in/a.jpg", 1'700'000'000, {"b.jpg"}, 1};
  s.failures.push_back({"Broken", "Not a directory", "/in/c.jpg", 1, 2, 1'700'000'000, {"c.jpg"}, "Check"});
  s.actions.push_back(StatusActionRow{});
  s.placed.push_back({1, "d.jpg", "Card", 1'700'000'000});
  s.destinations.push_back({"Card", "/srv/out", true, 1, 2, false});
  PrinterSnapshot printer;
  printer.problems = DescribeReasons({"media-empty-error"});
  printer.supplies = {{"Ink", "ink", 50}};
  s.printers.push_back(printer);
  s.log.push_front({1'700'000'000, "line", false});
  const std::string json = RenderStatusJson(s, 1'700'000'000);
  std::set<std::string> keys;
  for (size_t at = json.find("\":"); at != std::string::npos; at = json.find("\":", at + 1)) {
    const size_t open = json.rfind('"', at - 1);
    keys.insert(json.substr(open + 1, at - open - 1));
  }
  ASSERT_GE(keys.size(), 60u);
  const std::string readme = test::ReadFile(std::string(BRISKO_TEST_DATA) + "/../../README.md");
  const size_t from = readme.find("`/status.json` fields");
  ASSERT_NE(from, std::string::npos);
  const std::string table = readme.substr(from, readme.find("\n## ", from) - from);
  auto named = [&](const std::string& key) {
    for (size_t at = table.find(key); at != std::string::npos; at = table.find(key, at + 1)) {
      const bool before = at == 0 || !std::isalnum(static_cast<unsigned char>(table[at - 1]));
      const size_t end = at + key.size();
      if (before && (end == table.size() || !std::isalnum(static_cast<unsigned char>(table[end]))))
        return true;
    }
    return false;
  };
  for (const std::string& key : keys) EXPECT_TRUE(named(key)) << key;
}

TEST(StatusRender, AStationBusyTooLongIsNeverAllWell) {
  StatusSnapshot s;
  s.state = StationState::Running;
  const std::time_t now = 1'700'000'000;
  std::tm tm{};
  const std::time_t started = now - kStuckSeconds - 20;
  localtime_r(&started, &tm);
  char clock[8];
  std::strftime(clock, sizeof clock, "%H:%M", &tm);
  s.busy.action = "Send (Move Files)";
  s.busy.runSince = now - 30;
  struct Row {
    std::time_t runSince, waitSince;
    int held;
    VerdictLevel level;
    std::string text;
  };
  const std::string waiting =
      std::string("Waiting since ") + clock + " for /usr/bin/enhance on IMG_0042.JPG (Send)";
  const Row rows[] = {
      // A program that has just started, or a short run: nothing to say yet.
      {now - 30, now - 10, 0, VerdictLevel::Ok, "All well"},
      {now - 30, 0, 0, VerdictLevel::Ok, "All well"},
      {started, started, 0, VerdictLevel::Stuck, waiting},
      {started, started, 1, VerdictLevel::Stuck, waiting + " - 1 photo held up: IMG_0043.JPG"},
      {started, started, 5, VerdictLevel::Stuck,
       waiting + " - 5 photos held up: IMG_0043.JPG, IMG_0044.JPG, IMG_0045.JPG and 2 more"},
      // A run that takes long without a program.
      {started, 0, 0, VerdictLevel::Stuck, std::string("Busy since ") + clock + " with Send (Move Files)"},
  };
  for (const Row& r : rows) {
    s.busy.runSince = r.runSince;
    s.busy.waitSince = r.waitSince;
    s.busy.program = r.waitSince ? "/usr/bin/enhance" : "";
    s.busy.file = r.waitSince ? "/srv/out/IMG_0042.JPG" : "";
    s.busy.heldUpCount = r.held;
    s.busy.heldUp.clear();
    for (int i = 0; i < std::min(r.held, 3); ++i)
      s.busy.heldUp.push_back("IMG_004" + std::to_string(3 + i) + ".JPG");
    const StatusVerdict v = MakeVerdict(s, now);
    EXPECT_EQ(v.text, r.text);
    EXPECT_EQ(v.level, r.level) << r.text;
  }
  // Paused by the operator while a program hangs: still the hang, not "Stopped".
  s.busy.waitSince = started;
  s.busy.program = "/usr/bin/enhance";
  s.busy.file = "/srv/out/IMG_0042.JPG";
  s.state = StationState::Paused;
  EXPECT_EQ(MakeVerdict(s, now).level, VerdictLevel::Stuck);
  // Failures still come first in colour, with the hang named.
  s.state = StationState::Running;
  s.busy.heldUpCount = 0;
  s.busy.heldUp.clear();
  s.failures.push_back(
      {"Out", "Not a directory: /srv/out/afile/sub", "a.jpg", 1, 3, now - 600, {"a.jpg"}, ""});
  EXPECT_EQ(MakeVerdict(s, now).level, VerdictLevel::Failing);
  EXPECT_EQ(MakeVerdict(s, now).text.rfind(waiting + "; Out: 1 photo waits since ", 0), 0u)
      << MakeVerdict(s, now).text;
  s.failures.clear();
  s.busy.heldUp = {"IMG_0043.JPG"};
  s.busy.heldUpCount = 1;
  s.action = "Send (Move Files)";
  const std::string json = RenderStatusJson(s, now);
  for (const std::string& part :
       {std::string("\"verdict\":{\"level\":\"stuck\",\"text\":\"") + waiting,
        std::string("\"stateText\":\"running Send (Move Files) - ") + waiting + "\"",
        std::string("\"busy\":{\"action\":\"Send (Move Files)\",\"since\":\"20"),
        std::string(
            "\"program\":\"/usr/bin/enhance\",\"file\":\"/srv/out/IMG_0042.JPG\",\"waitingSince\":\"20"),
        std::string("\"heldUp\":[\"IMG_0043.JPG\"],\"heldUpCount\":1,\"text\":\"") + waiting + "\"}"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }
  EXPECT_NE(RenderStatusHtml(s, "", now).find("<p id=\"verdict\" class=\"verdict stuck\">Waiting since "),
            std::string::npos);
}

// A real non-loopback address needs a network of our own: a new network namespace whose
// loopback device is given 10.77.0.1. Skipped where namespaces are not allowed.
TEST_F(StatusServerTest, KeyNeededOnNonLoopbackAddress) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) _exit(77);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    auto* in = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, "10.77.0.1", &in->sin_addr);
    if (ioctl(fd, SIOCSIFADDR, &ifr) != 0) _exit(77);
    ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) _exit(77);
    StatusBoard board;
    StatusPageConfig config{true, "10.77.0.1", 0, kKey};
    auto server = WebStatusServer::Start(config, board, nullptr);
    if (!server) _exit(10);
    const int port = server->Port();
    if (server->Url() != "http://10.77.0.1:" + std::to_string(port) + "/?key=" + kKey) _exit(11);
    // What the key lets in is the key rules' test; here, that it is needed at all.
    if (HttpGet("10.77.0.1", port, "/status.json").status != 403) _exit(12);
    if (HttpGet("10.77.0.1", port, "/status.json?key=" + std::string(kKey)).status != 200) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespace may be made here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace brisko
