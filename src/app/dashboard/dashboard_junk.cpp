#include "app/dashboard/dashboard_junk.h"

#include <memory>
#include <mutex>
#include <sstream>

#include "app/core/junk_command.h"

namespace brimvale::app {
namespace {

constexpr std::string_view kNotConfirmed =
    "Clearing the board needs its confirmation first. Nothing was cleared.";

// Runs `brimvale junk` with `options`: its JSON or its line as the reply, or
// its sentence with 400 for a usage fault (2) and 503 for a failure.
web::Reply runJunk(const DashboardSources& sources, std::mutex& board, JunkOptions options,
                   const std::string& input = {}) {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  JunkCommandContext context{.stateDir = sources.paths.state,
                             .defaults = *sources.platform.defaults,
                             .launcher = sources.launcher,
                             .in = in,
                             .out = out,
                             .err = err};
  int status = 0;
  {
    // Requests arrive on several threads; the board is read and saved whole.
    std::lock_guard lock(board);
    status = junkCommand(context, options);
  }
  if (status != 0) return web::sentenceReply(status == 2 ? 400 : 503, err.str());
  if (options.json) return {.status = 200, .contentType = "application/json", .body = out.str()};
  std::string message = out.str();
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return web::jsonReply({{"message", message}});
}

JunkOptions filtered(std::string action, const nlohmann::json& body) {
  JunkOptions options{.action = std::move(action), .json = true};
  if (auto filter = web::bodyText(body, "filter"); !filter.empty()) options.filter = filter;
  if (auto date = web::bodyText(body, "date"); !date.empty()) options.date = date;
  return options;
}

}  // namespace

void addJunkRoutes(web::DashboardServer& server, const DashboardSources& sources) {
  auto board = std::make_shared<std::mutex>();
  server.post("junk/list", [&sources, board](const nlohmann::json& body) {
    return runJunk(sources, *board, filtered("list", body));
  });
  server.post("junk/search", [&sources, board](const nlohmann::json& body) {
    auto options = filtered("search", body);
    options.words = {web::bodyText(body, "query")};
    return runJunk(sources, *board, options);
  });
  server.post("junk/add", [&sources, board](const nlohmann::json& body) {
    return runJunk(sources, *board,
                   {.action = "add",
                    .words = {web::bodyText(body, "text")},
                    .ttl = web::bodyText(body, "ttl")});
  });
  // A note keeps its lines, as typed into the command's input.
  server.post("junk/note", [&sources, board](const nlohmann::json& body) {
    return runJunk(sources, *board, {.action = "note", .ttl = web::bodyText(body, "ttl")},
                   web::bodyText(body, "text"));
  });
  for (const char* action : {"pin", "unpin", "delete"}) {
    server.post(
        std::string("junk/") + action, [&sources, board, action](const nlohmann::json& body) {
          return runJunk(sources, *board, {.action = action, .words = {web::bodyText(body, "id")}});
        });
  }
  server.post("junk/clear", [&sources, board](const nlohmann::json& body) {
    const auto confirmed = body.find("confirmed");
    if (confirmed == body.end() || *confirmed != true)
      return web::sentenceReply(400, std::string(kNotConfirmed));
    return runJunk(sources, *board, {.action = "clear"});
  });
}

}  // namespace brimvale::app
