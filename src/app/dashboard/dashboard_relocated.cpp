#include "app/dashboard/dashboard_relocated.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "app/core/line_stream.h"
#include "app/core/relocated_command.h"
#include "common/base/file_calls.h"
#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

constexpr std::string_view kNoItem = "Choose a relocated folder first. Nothing was changed.";
constexpr std::string_view kMoveBackBusy =
    "A folder is already on its way home from here. Nothing new was started; its progress is "
    "showing on the moves page.";

// Runs `brimvale relocated` as the command line does, asked nothing.
int runRelocated(const DashboardSources& sources, const RelocatedOptions& options,
                 std::ostream& out, std::ostream& err) {
  std::istringstream noAnswers;
  MoverCommandContext context = moverContextFor(sources, out, err, noAnswers);
  return relocatedCommand(context, options);
}

}  // namespace

std::string relocationMark(const std::vector<mover::MoveManifest>& records) {
  std::vector<std::string> rows;
  auto there = [](const std::string& path) {
    const auto status = linkStatus(path);
    return status && std::filesystem::exists(*status) ? " here" : " gone";
  };
  for (const auto& r : records) {
    std::string row = r.id + " " + std::string(rawNameOf(mover::kMovePhaseNames, r.phase));
    if (r.phase == mover::MovePhase::kDone && r.replaceSourceWithSymlink)
      row += there(r.src) + std::string(there(r.finalDst));
    rows.push_back(std::move(row));
  }
  std::ranges::sort(rows);
  std::string mark;
  for (const auto& row : rows) mark += row + "\n";
  return mark;
}

// Only what an id can hold, so it never reads as a path.
std::string relocatedItemId(const nlohmann::json& body) {
  const auto found = body.find("id");
  if (found == body.end() || !found->is_string()) return {};
  const std::string id = *found;
  for (char ch : id) {
    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-') return {};
  }
  return id;
}

RelocatedRoutes::RelocatedRoutes(const DashboardSources& sources, web::DashboardServer& server,
                                 StatePoller& poller)
    : sources_(sources),
      server_(server),
      records_(mover::ManifestStore(sources.paths.state, {}, systemClock()).folder()) {
  poller.add([this] { look(); });
  server_.get("relocated", [this] { return list(); });
  server_.post("relocated/plan", [this](const nlohmann::json& body) { return plan(body); });
  server_.post("relocated/move-back",
               [this](const nlohmann::json& body) { return moveBack(body); });
  server_.post("relocated/delete", [this](const nlohmann::json& body) { return remove(body); });
}

web::Reply RelocatedRoutes::list() {
  std::ostringstream out;
  std::ostringstream err;
  if (runRelocated(sources_, {.json = true}, out, err) != 0) {
    return web::sentenceReply(503, err.str());
  }
  return {.status = 200, .contentType = "application/json", .body = out.str()};
}

void RelocatedRoutes::look() {
  // The records are read again only when their folder changed; the places
  // they name are looked at every time.
  if (std::string listing = folderListing(records_); !read_ || listing != listing_) {
    listing_ = std::move(listing);
    // A record that cannot be read is left out here; the list says why.
    seen_ = mover::ManifestStore(sources_.paths.state, {}, systemClock()).all();
  }
  std::string mark = relocationMark(seen_);
  // The first look since the poller began is announced too: a change made
  // between a page's own loading of the list and this look is otherwise missed.
  if (!read_ || mark != mark_) server_.events().publish(kRelocationStateChanged, "{}");
  mark_ = std::move(mark);
  read_ = true;
}

web::Reply RelocatedRoutes::plan(const nlohmann::json& body) {
  const std::string id = relocatedItemId(body);
  if (id.empty()) return web::sentenceReply(400, std::string(kNoItem));
  std::ostringstream out;
  std::ostringstream err;
  std::istringstream noAnswers;
  const MoverCommandContext context = moverContextFor(sources_, out, err, noAnswers);
  auto planned = moveBackPlanJson(context, id);
  if (!planned) return web::sentenceReply(404, planned.error());
  return web::jsonReply(*planned);
}

web::Reply RelocatedRoutes::moveBack(const nlohmann::json& body) {
  const std::string id = relocatedItemId(body);
  if (id.empty()) return web::sentenceReply(400, std::string(kNoItem));
  const auto asked = body.find("overwrite");
  const bool overwrite = asked != body.end() && *asked == true;
  const bool started = moveBack_.start([this, id, overwrite] {
    auto& events = server_.events();
    events.publish("move-back-start", nlohmann::json{{"id", id}}.dump());
    int status = 1;
    {
      LineBuffer outLines([&](const std::string& line) {
        if (!line.empty()) events.publish("move-back-line", nlohmann::json{{"line", line}}.dump());
      });
      LineBuffer errLines([&](const std::string& line) {
        if (!line.empty()) {
          events.publish("move-back-problem", nlohmann::json{{"line", line}}.dump());
        }
      });
      std::ostream out(&outLines);
      std::ostream err(&errLines);
      status = runRelocated(sources_, {.action = "move-back", .id = id, .overwrite = overwrite},
                            out, err);
    }
    events.publish("move-back-done", nlohmann::json{{"id", id}, {"status", status}}.dump());
    events.publish(kRelocationStateChanged, "{}");
  });
  if (!started) return web::sentenceReply(409, std::string(kMoveBackBusy));
  return web::jsonReply({{"started", true}, {"id", id}}, 202);
}

web::Reply RelocatedRoutes::remove(const nlohmann::json& body) {
  const std::string id = relocatedItemId(body);
  if (id.empty()) return web::sentenceReply(400, std::string(kNoItem));
  std::ostringstream out;
  std::ostringstream err;
  // Only a broken relocation is cleared away; the command refuses the rest
  // with a sentence that says the data is safe.
  const int status = runRelocated(sources_, {.action = "delete", .id = id}, out, err);
  // A refused delete may still have cleared part of it away.
  server_.events().publish(kRelocationStateChanged, "{}");
  if (status != 0) return web::sentenceReply(409, err.str());
  return web::jsonReply({{"deleted", true}, {"message", out.str()}});
}

}  // namespace brimvale::app
