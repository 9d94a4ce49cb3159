#include "web/dashboard_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/base/file_io.h"
#include "web/embedded_assets.h"

namespace brimvale::web {
namespace {
namespace fs = std::filesystem;

constexpr std::string_view kLoopback = "127.0.0.1";
// An event stream says something at least this often: a closed page's
// stream is only noticed when a write to it fails, and until then it holds
// one of the server's threads.
constexpr std::chrono::seconds kStreamHeartbeat{2};
// Threads besides those the event streams may hold. Requests reach the
// workers whole, so each takes a thread only while it is being answered.
constexpr std::size_t kRequestThreads = 16;
constexpr std::size_t kServerThreads = EventStream::kMostStreams + kRequestThreads;
// How long an answer may wait for a client to make room for it: a page that
// stopped reading its event stream lets go of its thread after this.
constexpr int kWriteTimeoutMs = 5000;
constexpr std::size_t kLargestBody = 64 * 1024;
constexpr std::string_view kSecurityPolicy =
    "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
    "frame-ancestors 'none'; form-action 'self'";

constexpr std::string_view kSignInNeeded =
    "This dashboard needs you to sign in first. Nothing was changed; run `brimvale open` to open "
    "it from this computer.";
constexpr std::string_view kTokenRefused =
    "This sign-in link has expired or was already used. Nothing was changed; run `brimvale open` "
    "again to get a fresh one.";
constexpr std::string_view kWrongOrigin =
    "This request didn't come from the dashboard's own page, so it was refused. Nothing was "
    "changed.";
constexpr std::string_view kWrongHost =
    "This request was addressed to another host name, so it was refused. Nothing was changed; "
    "open the dashboard with `brimvale open`.";
constexpr std::string_view kBadJson =
    "The request couldn't be read: its body is not valid JSON. Nothing was changed; reload the "
    "page and try again.";
constexpr std::string_view kTooManyStreams =
    "Too many dashboard pages are open at once, so this one gets no live updates. Nothing was "
    "changed; close some of them and reload this page.";
constexpr std::string_view kNoSession =
    "Brimvale couldn't start a session because the secure random source failed. Nothing was "
    "changed; try `brimvale open` again.";

void answer(httplib::Response& res, const Reply& reply) {
  res.status = reply.status;
  res.set_content(reply.body, reply.contentType);
}

// The value of `name` in a Cookie header ("a=1; b=2").
std::string cookieValue(const std::string& header, std::string_view name) {
  std::size_t start = 0;
  while (start < header.size()) {
    std::size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    std::string_view part(header.data() + start, end - start);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.starts_with(name) && part[name.size()] == '=') {
      return std::string(part.substr(name.size() + 1));
    }
    start = end + 1;
  }
  return {};
}

// The page the sign-in answers with: a same-site navigation to the home
// page, so the fresh SameSite=Strict cookie goes along.
constexpr std::string_view kSignedInPage =
    "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<meta http-equiv=\"refresh\" content=\"0;url=/\"><title>Brimvale</title></head>"
    "<body><p><a href=\"/\">Open the Brimvale dashboard</a></p></body></html>";

// A connection as the router reads and writes it. Reads come only from the
// request the gate collected, so a worker never waits on a client's sending,
// and a body the router leaves unread never runs into the next request;
// writes wait for room up to kWriteTimeoutMs.
class GatheredStream final : public httplib::Stream {
 public:
  explicit GatheredStream(const Connection& connection) : connection_(connection) {}

  bool is_readable() const override { return used_ < connection_.request.size(); }

  bool is_writable() const override {
    pollfd room{.fd = socket(), .events = POLLOUT, .revents = 0};
    while (true) {
      const int ready = ::poll(&room, 1, kWriteTimeoutMs);
      if (ready >= 0 || errno != EINTR) return ready > 0 && (room.revents & POLLOUT) != 0;
    }
  }

  ssize_t read(char* into, std::size_t size) override {
    const std::size_t n = std::min(size, connection_.request.size() - used_);
    std::memcpy(into, connection_.request.data() + used_, n);
    used_ += n;
    return ssize_t(n);
  }

  ssize_t write(const char* from, std::size_t size) override {
    while (true) {
      const ssize_t sent = ::send(socket(), from, size, MSG_NOSIGNAL);
      if (sent >= 0) return sent;
      if (errno == EINTR) continue;
      if (errno != EAGAIN || !is_writable()) return -1;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    addressOf(::getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    addressOf(::getsockname, ip, port);
  }
  int socket() const override { return connection_.socket.get(); }

 private:
  template <typename Query>
  void addressOf(Query query, std::string& ip, int& port) const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    std::array<char, INET_ADDRSTRLEN> text{};
    if (query(socket(), reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
        ::inet_ntop(AF_INET, &address.sin_addr, text.data(), text.size()) != nullptr) {
      ip = text.data();
      port = ntohs(address.sin_port);
    }
  }

  const Connection& connection_;
  std::size_t used_ = 0;
};

}  // namespace

// The routes and httplib's reading of requests and writing of answers, driven
// one request at a time by serve() rather than by httplib's own listener.
class DashboardServer::Router : public httplib::Server {
 public:
  using httplib::Server::process_request;

  // httplib ends a streamed answer once it sees its listening socket closed.
  // Ours belongs to the gate, so this says whether the server is up.
  void setServing(bool serving) { svr_sock_ = serving ? 0 : INVALID_SOCKET; }
};

Reply jsonReply(const nlohmann::json& value, int status) {
  return {.status = status, .contentType = "application/json", .body = value.dump()};
}

std::string bodyText(const nlohmann::json& body, const char* name, std::string fallback) {
  const auto found = body.find(name);
  return found != body.end() && found->is_string() ? found->get<std::string>() : fallback;
}

bool bodyFlag(const nlohmann::json& body, const char* name) {
  const auto found = body.find(name);
  return found != body.end() && *found == true;
}

Reply sentenceReply(int status, std::string sentence) {
  return jsonReply({{"error", std::move(sentence)}}, status);
}

std::expected<fs::path, Reply> allowedPath(const PathPolicy& policy, const std::string& text) {
  auto allowed = policy.check(text);
  if (!allowed) return std::unexpected(sentenceReply(403, allowed.error().sentence()));
  return allowed->path;
}

DashboardServer::DashboardServer(fs::path stateFolder, Clock now,
                                 std::chrono::milliseconds requestDeadline)
    : stateFolder_(std::move(stateFolder)),
      requestDeadline_(requestDeadline),
      tokens_(stateFolder_ / kTokenFolder, now),
      sessions_(std::move(now)),
      router_(std::make_unique<Router>()) {
  installRoutes();
}

DashboardServer::~DashboardServer() { stop(); }

void DashboardServer::installRoutes() {
  auto& s = *router_;
  s.set_payload_max_length(kLargestBody);
  // Everything but the sign-in itself needs the session cookie; changes
  // need the page's own origin. Checked before any route runs.
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Content-Security-Policy", std::string(kSecurityPolicy));
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Cache-Control", "no-store");
    // A page elsewhere could resolve its own name to 127.0.0.1; answer only our address.
    if (req.get_header_value("Host") != host_) {
      answer(res, sentenceReply(403, std::string(kWrongHost)));
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST" && req.path == "/session") {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    if (!sessions_.use(cookieValue(req.get_header_value("Cookie"), kSessionCookie))) {
      answer(res, sentenceReply(401, std::string(kSignInNeeded)));
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.get_header_value("Origin") != origin_) {
      answer(res, sentenceReply(403, std::string(kWrongOrigin)));
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  s.Post("/session", [this](const httplib::Request& req, httplib::Response& res) {
    if (!tokens_.redeem(req.get_param_value("token"))) {
      answer(res, sentenceReply(401, std::string(kTokenRefused)));
      return;
    }
    auto key = sessions_.open();
    if (!key) {
      answer(res, sentenceReply(500, std::string(kNoSession)));
      return;
    }
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + *key +
                                     "; Path=/; HttpOnly; SameSite=Strict");
    res.set_content(std::string(kSignedInPage), "text/html; charset=utf-8");
  });

  s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string session = cookieValue(req.get_header_value("Cookie"), kSessionCookie);
    if (!events_.watcherJoined(session)) {
      res.status = 503;
      res.set_content(std::string(kTooManyStreams), "text/plain; charset=utf-8");
      return;
    }
    std::uint64_t last = events_.latest();
    if (const auto given = req.get_header_value("Last-Event-ID"); !given.empty()) {
      last = std::min<std::uint64_t>(last, std::strtoull(given.c_str(), nullptr, 10));
    }
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, last](std::size_t, httplib::DataSink& sink) mutable {
          if (events_.closed()) {
            sink.done();
            return true;
          }
          const auto found = events_.after(last, kStreamHeartbeat);
          std::string chunk;
          for (const auto& e : found) {
            chunk += wireFormat(e);
            last = e.id;
          }
          if (found.empty()) chunk = ": still here\n\n";
          return sink.write(chunk.data(), chunk.size());
        },
        [this, session](bool) { events_.watcherLeft(session); });
  });

  s.Get("/", [](const httplib::Request&, httplib::Response& res) {
    const Asset* home = findAsset("/home.html");
    res.set_content(std::string(home->body), std::string(home->contentType));
  });
  s.Get(R"(/([a-z0-9_-]+\.(html|css|js|svg)))",
        [](const httplib::Request& req, httplib::Response& res) {
          const Asset* asset = findAsset(req.path);
          if (asset == nullptr) {
            answer(res, sentenceReply(404, "There is no page at " + req.path + "."));
            return;
          }
          res.set_content(std::string(asset->body), std::string(asset->contentType));
        });
}

void DashboardServer::get(const std::string& path, GetHandler handler) {
  router_->Get("/api/" + path,
               [handler = std::move(handler)](const httplib::Request&, httplib::Response& res) {
                 answer(res, handler());
               });
}

void DashboardServer::get(const std::string& path, QueryGetHandler handler) {
  router_->Get("/api/" + path,
               [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
                 QueryParams query;
                 for (const auto& [name, value] : req.params) query.emplace(name, value);
                 answer(res, handler(query));
               });
}

void DashboardServer::post(const std::string& path, PostHandler handler) {
  router_->Post("/api/" + path, [handler = std::move(handler)](const httplib::Request& req,
                                                               httplib::Response& res) {
    auto body = nlohmann::json::parse(req.body.empty() ? std::string("{}") : req.body, nullptr,
                                      /*allow_exceptions=*/false);
    if (body.is_discarded() || !body.is_object()) {
      answer(res, sentenceReply(400, std::string(kBadJson)));
      return;
    }
    answer(res, handler(body));
  });
}

Result<void> DashboardServer::start() {
  if (gate_) return {};
  workers_ = std::make_unique<httplib::ThreadPool>(kServerThreads);
  gate_ = std::make_unique<RequestGate>(requestDeadline_, kLargestBody, [this](Connection whole) {
    // The pool takes copyable jobs only.
    auto held = std::make_shared<Connection>(std::move(whole));
    workers_->enqueue([this, held] { serve(std::move(*held)); });
  });
  const auto port = gate_->open();
  if (!port) {
    halt();
    return std::unexpected(port.error());
  }
  host_ = std::string(kLoopback) + ":" + std::to_string(*port);
  origin_ = "http://" + host_;
  if (auto written = writeFileAtomically(stateFolder_ / kUrlFile, origin_ + "/\n"); !written) {
    halt();
    return written;
  }
  router_->setServing(true);
  gate_->start();
  return {};
}

void DashboardServer::serve(Connection connection) {
  GatheredStream stream(connection);
  bool clientIsDone = false;
  if (router_->process_request(stream, /*close_connection=*/false, clientIsDone, nullptr) &&
      !clientIsDone) {
    gate_->takeBack(std::move(connection));
  }
}

void DashboardServer::halt() {
  router_->setServing(false);
  gate_->stop();
  workers_->shutdown();
  workers_.reset();
  gate_.reset();
}

void DashboardServer::stop() {
  events_.close();
  if (!gate_) return;
  halt();
  std::error_code ec;
  fs::remove(stateFolder_ / kUrlFile, ec);
}

}  // namespace brimvale::web
