#include "web/dashboard_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <map>
#include <thread>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::web {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

int portOf(const DashboardServer& server) {
  return std::stoi(server.origin().substr(server.origin().rfind(':') + 1));
}

// A client socket driven by hand, for what httplib::Client won't do: send a
// request in pieces, or leave an answer unread.
class RawClient {
 public:
  explicit RawClient(int port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    EXPECT_EQ(::connect(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }

  bool send(std::string_view text) {
    return ::send(socket_.get(), text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
  }

  // The answer's first line, or "" when none came by `until`.
  std::string statusLine(SteadyClock::time_point until) {
    std::string got;
    while (got.find("\r\n") == std::string::npos) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now());
      pollfd readable{.fd = socket_.get(), .events = POLLIN, .revents = 0};
      std::array<char, 512> chunk;
      if (left.count() <= 0 || ::poll(&readable, 1, int(left.count())) <= 0) return {};
      const ssize_t n = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
      if (n <= 0) return {};
      got.append(chunk.data(), std::size_t(n));
    }
    return got.substr(0, got.find("\r\n"));
  }

  // True once the server has closed the connection.
  bool closedByServer() {
    std::array<char, 512> chunk;
    while (true) {
      const ssize_t n = ::recv(socket_.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
      if (n > 0) continue;
      return n == 0 || errno != EAGAIN;
    }
  }

 private:
  OwnedFd socket_;
};

// A running server in a temporary home with one signed-in browser: the
// test API echoes what it gets.
class Dashboard {
 public:
  Dashboard() {
    fs::create_directories(home_ / "state");
    server_.get("echo", [] { return jsonReply({{"ok", true}}); });
    server_.post("echo", [](const nlohmann::json& body) { return jsonReply(body); });
    EXPECT_TRUE(server_.start().has_value());
    client_ = std::make_unique<httplib::Client>("127.0.0.1", portOf(server_));
    // One connection for all of a test's requests, as a browser keeps it.
    client_->set_keep_alive(true);
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

 private:
  brimvale::testing::TempFolder home_;
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

TEST(DashboardServer, ClosesAConnectionStillSendingItsRequestAtTheDeadline) {
  brimvale::testing::TempFolder state;
  DashboardServer server(
      state.path(), [] { return std::time(nullptr); }, 300ms);
  ASSERT_TRUE(server.start().has_value());
  RawClient slow(portOf(server));
  const auto opened = SteadyClock::now();
  slow.send("GET / HTTP/1.1\r\n");
  bool closed = false;
  while (!closed && SteadyClock::now() - opened < 5s) {
    std::this_thread::sleep_for(50ms);
    closed = !slow.send("X-Slow: 1\r\n") || slow.closedByServer();
  }
  EXPECT_TRUE(closed);
  EXPECT_GE(SteadyClock::now() - opened, 300ms);
}

}  // namespace
}  // namespace brimvale::web
