// The local dashboard's web server: listens on 127.0.0.1 only, on a free
// port it writes to state/dashboard.url; lets in only browsers that signed
// in with a one-time token (see access_tokens.h); accepts changes only as
// POSTs from its own pages; serves the embedded pages and a live event
// stream. Requests arrive through a RequestGate, so slow clients hold no
// thread. The JSON routes themselves are registered by the application.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/base/error.h"
#include "common/state/path_policy.h"
#include "web/access_tokens.h"
#include "web/event_stream.h"
#include "web/request_gate.h"

namespace httplib {
class ThreadPool;
}

namespace brimvale::web {

inline constexpr std::string_view kUrlFile = "dashboard.url";
inline constexpr std::string_view kSessionCookie = "brimvale_session";

// What a route answers: a status, its content type and body.
struct Reply {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
};

// 200 with `value` as JSON.
[[nodiscard]] Reply jsonReply(const nlohmann::json& value, int status = 200);
// A failure as JSON {"error": sentence}; the page shows the sentence as it is.
[[nodiscard]] Reply sentenceReply(int status, std::string sentence);

// The path a request names, when the path policy allows moving or deleting
// it; otherwise a 403 reply carrying the policy's own sentence.
[[nodiscard]] std::expected<std::filesystem::path, Reply> allowedPath(const PathPolicy& policy,
                                                                      const std::string& text);

using GetHandler = std::function<Reply()>;
// The request's query parameters (the first value of each name).
using QueryParams = std::map<std::string, std::string, std::less<>>;
using QueryGetHandler = std::function<Reply(const QueryParams& query)>;
// `body` is the request's JSON, already parsed (a body that is not JSON
// never reaches the handler: it gets a 400 sentence).
using PostHandler = std::function<Reply(const nlohmann::json& body)>;

// A text field of a request body; `fallback` when it is missing or not text.
[[nodiscard]] std::string bodyText(const nlohmann::json& body, const char* name,
                                   std::string fallback = {});
// A field of a request body that is exactly true.
[[nodiscard]] bool bodyFlag(const nlohmann::json& body, const char* name);

class DashboardServer {
 public:
  // `stateFolder` holds dashboard.url and the token folder; `now` reads the
  // clock the tokens' lifetime is measured by; a connection whose request
  // hasn't arrived whole within `requestDeadline` is closed.
  DashboardServer(std::filesystem::path stateFolder, Clock now,
                  std::chrono::milliseconds requestDeadline = kRequestDeadline);
  ~DashboardServer();
  DashboardServer(const DashboardServer&) = delete;
  DashboardServer& operator=(const DashboardServer&) = delete;

  // Routes under /api/, registered before start(). Handlers run on the
  // server's worker threads.
  void get(const std::string& path, GetHandler handler);
  void get(const std::string& path, QueryGetHandler handler);
  void post(const std::string& path, PostHandler handler);

  // Binds 127.0.0.1 on a free port, writes the address to dashboard.url and
  // starts serving on its own threads.
  [[nodiscard]] Result<void> start();
  // Ends every event stream, stops serving and removes dashboard.url. Safe to repeat.
  void stop();

  // "http://127.0.0.1:PORT" once started.
  [[nodiscard]] const std::string& origin() const { return origin_; }
  [[nodiscard]] EventStream& events() { return events_; }
  [[nodiscard]] const TokenBook& tokens() const { return tokens_; }

 private:
  class Router;

  void installRoutes();
  // Answers the one request `connection` holds, on a worker thread.
  void serve(Connection connection);
  // Stops the gate, then waits for the workers to finish what they hold.
  void halt();

  std::filesystem::path stateFolder_;
  std::chrono::milliseconds requestDeadline_;
  TokenBook tokens_;
  SessionBook sessions_;
  EventStream events_;
  std::unique_ptr<Router> router_;
  std::unique_ptr<httplib::ThreadPool> workers_;
  std::unique_ptr<RequestGate> gate_;
  std::string origin_;
  std::string host_;  // "127.0.0.1:PORT", the only Host header answered
};

}  // namespace brimvale::web
