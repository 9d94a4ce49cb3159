#include "web/dashboard_server.h"

#include <httplib.h>

#include <algorithm>
#include <cstdlib>

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
// Every open page holds a thread for its event stream, and a closed one for
// a few heartbeats more; enough that quick page changes never wait for one.
constexpr std::size_t kServerThreads = 64;
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

}  // namespace

Reply jsonReply(const nlohmann::json& value, int status) {
  return {.status = status, .contentType = "application/json", .body = value.dump()};
}

Reply sentenceReply(int status, std::string sentence) {
  return jsonReply({{"error", std::move(sentence)}}, status);
}

std::expected<fs::path, Reply> allowedPath(const PathPolicy& policy, const std::string& text) {
  auto allowed = policy.check(text);
  if (!allowed) return std::unexpected(sentenceReply(403, allowed.error().sentence()));
  return allowed->path;
}

DashboardServer::DashboardServer(fs::path stateFolder, Clock now)
    : stateFolder_(std::move(stateFolder)),
      tokens_(stateFolder_ / kTokenFolder, now),
      sessions_(std::move(now)),
      server_(std::make_unique<httplib::Server>()) {
  installRoutes();
}

DashboardServer::~DashboardServer() { stop(); }

void DashboardServer::installRoutes() {
  auto& s = *server_;
  s.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
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
    std::uint64_t last = events_.latest();
    if (const auto given = req.get_header_value("Last-Event-ID"); !given.empty()) {
      last = std::min<std::uint64_t>(last, std::strtoull(given.c_str(), nullptr, 10));
    }
    res.set_header("X-Accel-Buffering", "no");
    events_.watcherJoined();
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
        [this](bool) { events_.watcherLeft(); });
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
  server_->Get("/api/" + path,
               [handler = std::move(handler)](const httplib::Request&, httplib::Response& res) {
                 answer(res, handler());
               });
}

void DashboardServer::post(const std::string& path, PostHandler handler) {
  server_->Post("/api/" + path, [handler = std::move(handler)](const httplib::Request& req,
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
  if (thread_.joinable()) return {};
  const int port = server_->bind_to_any_port(std::string(kLoopback));
  if (port <= 0) {
    return fail(Errc::kUnavailable, "no free port on 127.0.0.1 for the dashboard");
  }
  host_ = std::string(kLoopback) + ":" + std::to_string(port);
  origin_ = "http://" + host_;
  if (auto written = writeFileAtomically(stateFolder_ / kUrlFile, origin_ + "/\n"); !written) {
    server_->stop();
    return written;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The server ignores stop() until its loop runs, so start() returns only then.
  for (int waited = 0; !server_->is_running() && waited < 5000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return {};
}

void DashboardServer::stop() {
  events_.close();
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
  std::error_code ec;
  fs::remove(stateFolder_ / kUrlFile, ec);
}

}  // namespace brimvale::web
