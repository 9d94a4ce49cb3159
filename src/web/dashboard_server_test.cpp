#include "web/dashboard_server.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale::web {
namespace {
namespace fs = std::filesystem;

// A running server in a temporary home with one signed-in browser: the
// test API echoes what it gets and checks one path against the policy.
class Dashboard {
 public:
  Dashboard() : policy_(PathPolicy::rootsFor(home_.folder("home"))) {
    fs::create_directories(home_ / "state");
    server_.get("echo", [] { return jsonReply({{"ok", true}}); });
    server_.post("echo", [](const nlohmann::json& body) { return jsonReply(body); });
    server_.post("path", [this](const nlohmann::json& body) {
      auto path = allowedPath(policy_, body.value("path", ""));
      return path ? jsonReply({{"path", path->string()}}) : path.error();
    });
    EXPECT_TRUE(server_.start().has_value());
    const auto port = std::stoi(server_.origin().substr(server_.origin().rfind(':') + 1));
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
  }

  // Signs in with a fresh token; the cookie header the browser would keep.
  std::string signIn() {
    auto res = client_->Post("/session", "token=" + *server_.tokens().mint(),
                             "application/x-www-form-urlencoded");
    EXPECT_TRUE(res);
    if (!res) return {};
    const std::string set = res->get_header_value("Set-Cookie");
    return set.substr(0, set.find(';'));
  }

  httplib::Client& client() { return *client_; }
  DashboardServer& server() { return server_; }
  const testing::TempFolder& home() const { return home_; }

 private:
  testing::TempFolder home_;
  PathPolicy policy_;
  DashboardServer server_{home_ / "state", [] { return std::time(nullptr); }};
  std::unique_ptr<httplib::Client> client_;
};

std::string errorOf(const httplib::Result& res) {
  return nlohmann::json::parse(res->body, nullptr, false).value("error", "");
}

TEST(DashboardServer, SignInGivesAPrivateCookieOnceAndOnlyForAFreshToken) {
  Dashboard d;
  const std::string token = *d.server().tokens().mint();
  auto first = d.client().Post("/session", "token=" + token, "application/x-www-form-urlencoded");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200);
  const std::string cookie = first->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);

  auto again = d.client().Post("/session", "token=" + token, "application/x-www-form-urlencoded");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 401);
  EXPECT_TRUE(again->get_header_value("Set-Cookie").empty());
  EXPECT_NE(errorOf(again).find("already used"), std::string::npos);
}

TEST(DashboardServer, RefusesRequestsWithoutSessionFromElsewhereOrWithUnreadableBodies) {
  Dashboard d;
  const std::string cookie = d.signIn();
  const std::string origin = d.server().origin();
  struct Case {
    const char* name;
    const char* method;
    const char* path;
    std::string cookie;
    std::string origin;
    std::string body;
    int status;
    const char* sentencePart;  // in the error sentence; empty when there is none
  };
  const Case cases[] = {
      {"page without cookie", "GET", "/", "", "", "", 401, "sign in"},
      {"asset without cookie", "GET", "/home.html", "", "", "", 401, "sign in"},
      {"api without cookie", "GET", "/api/echo", "", "", "", 401, "sign in"},
      {"events without cookie", "GET", "/api/events", "", "", "", 401, "sign in"},
      {"made-up cookie", "GET", "/api/echo", "brimvale_session=" + std::string(64, 'a'), "", "",
       401, "sign in"},
      {"post without cookie", "POST", "/api/echo", "", origin, "{}", 401, "sign in"},
      {"signed in", "GET", "/api/echo", cookie, "", "", 200, ""},
      {"post without origin", "POST", "/api/echo", cookie, "", "{}", 403, "didn't come from"},
      {"post from another site", "POST", "/api/echo", cookie, "http://evil.example", "{}", 403,
       "didn't come from"},
      {"post from another port", "POST", "/api/echo", cookie, "http://127.0.0.1:1", "{}", 403,
       "didn't come from"},
      {"malformed json", "POST", "/api/echo", cookie, origin, "{\"a\":", 400, "not valid JSON"},
      {"json that is not an object", "POST", "/api/echo", cookie, origin, "[1]", 400,
       "not valid JSON"},
      {"good post", "POST", "/api/echo", cookie, origin, "{\"a\":1}", 200, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    httplib::Headers headers;
    if (!c.cookie.empty()) headers.emplace("Cookie", c.cookie);
    if (!c.origin.empty()) headers.emplace("Origin", c.origin);
    auto res = std::string(c.method) == "GET"
                   ? d.client().Get(c.path, headers)
                   : d.client().Post(c.path, headers, c.body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    if (*c.sentencePart) {
      EXPECT_NE(errorOf(res).find(c.sentencePart), std::string::npos);
    }
  }
}

TEST(DashboardServer, AnswersOnlyItsOwnHostName) {
  Dashboard d;
  const std::string cookie = d.signIn();
  auto res = d.client().Get("/api/echo", {{"Cookie", cookie}, {"Host", "evil.example:80"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
}

TEST(DashboardServer, PathsOutsideTheAllowedRootsAreRefusedWithThePolicySentence) {
  Dashboard d;
  const std::string cookie = d.signIn();
  const fs::path inside = d.home().folder("home/Videos");
  struct Case {
    std::string path;
    int status;
  };
  const Case cases[] = {
      {inside.string(), 200},
      {(d.home() / "home").string(), 403},  // the home folder as a whole
      {(d.home() / "elsewhere").string(), 403},
      {"relative/path", 403},
      {(d.home() / "home/../elsewhere").string(), 403},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto res = d.client().Post("/api/path", {{"Cookie", cookie}, {"Origin", d.server().origin()}},
                               nlohmann::json{{"path", c.path}}.dump(), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    if (c.status == 403) {
      EXPECT_NE(errorOf(res).find("Nothing was changed."), std::string::npos);
    }
  }
}

TEST(DashboardServer, WritesItsAddressWhileRunningAndRemovesItAfter) {
  testing::TempFolder state;
  DashboardServer server(state.path(), [] { return std::time(nullptr); });
  ASSERT_TRUE(server.start().has_value());
  auto url = readFile(state / "dashboard.url");
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(*url, server.origin() + "/\n");
  EXPECT_TRUE(server.origin().starts_with("http://127.0.0.1:"));
  server.stop();
  EXPECT_FALSE(fs::exists(state / "dashboard.url"));
}

TEST(DashboardServer, EventStreamDeliversWhatIsPublishedAfterTheBrowserConnects) {
  Dashboard d;
  const std::string cookie = d.signIn();
  d.server().events().publish("step", R"({"line":"Before"})");
  // Published until the browser has seen one, however long its connection takes to open.
  std::atomic<bool> seen{false};
  std::thread publisher([&] {
    while (!seen) {
      d.server().events().publish("step", R"({"line":"Clearing"})");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::string received;
  int watchersWhileOpen = 0;
  EXPECT_EQ(d.server().events().watchers(), 0);
  (void)d.client().Get("/api/events", {{"Cookie", cookie}},
                       [&](const char* data, std::size_t size) {
                         watchersWhileOpen = d.server().events().watchers();
                         received.append(data, size);
                         return received.find("\n\n") == std::string::npos;
                       });
  seen = true;
  publisher.join();
  EXPECT_NE(received.find("event: step\ndata: {\"line\":\"Clearing\"}\n\n"), std::string::npos)
      << received;
  // What came before the connection is not replayed.
  EXPECT_EQ(received.find("Before"), std::string::npos);
  // The open connection counted as a watcher, so state pollers ran meanwhile.
  EXPECT_EQ(watchersWhileOpen, 1);
}

// Given more pages open than a small server has threads, then a request
// from yet another page is still answered: open streams don't starve it.
TEST(DashboardServer, ManyOpenEventStreamsLeaveRoomForOtherRequests) {
  Dashboard d;
  const std::string cookie = d.signIn();
  const auto port = std::stoi(d.server().origin().substr(d.server().origin().rfind(':') + 1));
  constexpr int kPages = 20;
  std::atomic<bool> closing{false};
  std::vector<std::thread> pages;
  for (int i = 0; i < kPages; ++i) {
    pages.emplace_back([&] {
      httplib::Client page("127.0.0.1", port);
      (void)page.Get("/api/events", {{"Cookie", cookie}},
                     [&](const char*, std::size_t) { return !closing; });
    });
  }
  for (int i = 0; i < 500 && d.server().events().watchers() < kPages; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(d.server().events().watchers(), kPages);
  httplib::Client other("127.0.0.1", port);
  other.set_read_timeout(1, 0);
  const auto res = other.Get("/api/echo", {{"Cookie", cookie}});
  EXPECT_TRUE(res && res->status == 200);
  closing = true;
  d.server().events().publish("bye", "{}");
  for (auto& page : pages) page.join();
}

}  // namespace
}  // namespace brimvale::web
