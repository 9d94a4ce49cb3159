#include "app/dashboard/dashboard_junk.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include "app/core/junk_command.h"
#include "common/base/process.h"

namespace brimvale::app {
namespace {

constexpr std::string_view kNotConfirmed =
    "Clearing the board needs its confirmation first. Nothing was cleared.";
constexpr std::chrono::seconds kCopyDeadline{20};
constexpr std::string_view kFolderNotFull =
    "Give the folder as a full path, starting with / or ~/. Nothing was saved and the scrap is "
    "still on the board.";

// Runs `brimvale junk` with `options`: its JSON or its line as the reply, or
// its sentence with 400 for a usage fault (2) and `failedStatus` for a failure.
web::Reply runJunk(const DashboardSources& sources, std::mutex& board, JunkOptions options,
                   const std::string& input = {}, int failedStatus = 503) {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  JunkCommandContext context{.stateDir = sources.paths.state,
                             .home = sources.paths.home,
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
  if (status != 0) return web::sentenceReply(status == 2 ? 400 : failedStatus, err.str());
  if (options.json) return {.status = 200, .contentType = "application/json", .body = out.str()};
  std::string message = out.str();
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return web::jsonReply({{"message", message}});
}

// The folder a save names, with a leading "~" meaning the home folder, as a shell reads it.
std::optional<std::filesystem::path> saveFolder(const DashboardSources& sources,
                                                const std::string& typed) {
  if (typed == "~") return sources.paths.home;
  if (typed.starts_with("~/")) return sources.paths.home / typed.substr(2);
  if (typed.starts_with("/")) return std::filesystem::path(typed);
  return std::nullopt;
}

// Copy back runs as a `brimvale junk copy` of its own: the clipboard's holder
// is forked, which only a process without other threads may do.
web::Reply copyInOwnProcess(const DashboardSources& sources, const std::string& id) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  const auto result = sources.launcher.run({.path = self.string(),
                                            .args = {"junk", "copy", "--", id},
                                            .envAdditions = {{"HOME", sources.paths.home}},
                                            .deadline = kCopyDeadline});
  std::string said = result.succeeded() ? result.out : result.err;
  while (!said.empty() && said.back() == '\n') said.pop_back();
  if (result.succeeded()) return web::jsonReply({{"message", said}});
  if (result.outcome == ProcessOutcome::kExited && !said.empty())
    return web::sentenceReply(result.exitCode == 2 ? 400 : 503, said);
  return web::sentenceReply(503, "The scrap could not be put on the clipboard (" +
                                     result.describe() +
                                     "); the board is unchanged. Try again in a moment.");
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
  server.post("junk/capture", [&sources, board](const nlohmann::json&) {
    return runJunk(sources, *board, {.action = "capture"});
  });
  server.post("junk/lifetime", [&sources, board](const nlohmann::json& body) {
    return runJunk(
        sources, *board,
        {.action = "lifetime", .words = {web::bodyText(body, "id"), web::bodyText(body, "ttl")}});
  });
  // Saving answers 409 when it refuses: something is in the way, or the place is refused.
  server.post("junk/save", [&sources, board](const nlohmann::json& body) {
    auto folder = saveFolder(sources, web::bodyText(body, "folder"));
    if (!folder) return web::sentenceReply(400, std::string(kFolderNotFull));
    return runJunk(sources, *board,
                   {.action = "save",
                    .words = {web::bodyText(body, "id"), folder->string()},
                    .replace = web::bodyFlag(body, "replace")},
                   {}, 409);
  });
  server.get("junk/settings", [&sources, board] {
    return runJunk(sources, *board, {.action = "settings", .json = true});
  });
  server.post("junk/setting", [&sources, board](const nlohmann::json& body) {
    return runJunk(sources, *board,
                   {.action = "settings",
                    .words = {web::bodyText(body, "key"), web::bodyText(body, "value")}});
  });
  // The picture of an image scrap, named by its full id; only the store's own
  // thumbnail file is read.
  server.get("junk/thumbnail", [&sources](const web::QueryParams& query) {
    const auto id = query.find("id");
    junk::JunkStore store(sources.paths.state, junk::JunkSettings(*sources.platform.defaults));
    auto loaded = store.load();
    auto png = loaded && id != query.end() ? store.thumbnail(id->second)
                                           : Result<std::string>(std::unexpected(Error{}));
    if (!png) {
      return web::sentenceReply(404,
                                "This scrap has no picture to show yet. Nothing was changed; "
                                "reload the page in a moment.");
    }
    return web::Reply{.status = 200, .contentType = "image/png", .body = std::move(*png)};
  });
  server.post("junk/copy", [&sources](const nlohmann::json& body) {
    return copyInOwnProcess(sources, web::bodyText(body, "id"));
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
