#include "app/dashboard/dashboard_app_moves.h"

#include "apps/app_move_store.h"
#include "apps/app_relocator_engine.h"
#include "common/base/folder_walk.h"

namespace brimvale::app {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string mark(const apps::AppMoveManifest& m) {
  return std::string(rawNameOf(apps::kAppMovePhaseNames, m.phase)) + "|" +
         std::to_string(m.updatedAt) + "|" + m.statusMessage.value_or("") + "|" +
         m.lastError.value_or("");
}

// The completion the engine announced in whichever process wrote `now`: a
// forward move that reached done or failed since `before` (or that began and
// ended between two looks), or a move back that recorded its outcome.
std::optional<apps::EngineCompletion> completionOf(const AppMoveSeen* before,
                                                   const apps::AppMoveManifest& now) {
  apps::EngineCompletion done;
  done.manifestID = now.id;
  const std::string status = now.statusMessage.value_or("");
  const bool ended =
      now.phase == apps::AppMovePhase::kDone || now.phase == apps::AppMovePhase::kFailed;
  if (ended && (!before || apps::isUnfinished(before->phase))) {
    done.kind = apps::EngineCompletion::Kind::kMove;
    done.success = now.phase == apps::AppMovePhase::kDone;
    if (!done.success) done.reason = now.lastError.value_or(status);
    return done;
  }
  const bool restored = status.starts_with(apps::kRestoredOutcomePrefix) ||
                        status.starts_with(apps::kKeptInternalOutcomePrefix);
  if (now.phase == apps::AppMovePhase::kDone && restored && before &&
      before->statusMessage != status) {
    done.kind = apps::EngineCompletion::Kind::kRestore;
    done.success = true;
    done.outcome = status;
    return done;
  }
  return std::nullopt;
}

}  // namespace

AppMoveMarks marksOf(const std::vector<apps::AppMoveManifest>& records) {
  AppMoveMarks marks;
  for (const auto& m : records) marks[m.id] = {mark(m), m.phase, m.statusMessage.value_or("")};
  return marks;
}

std::vector<AppMoveEvent> appMoveEvents(const AppMoveMarks& before,
                                        const std::vector<apps::AppMoveManifest>& now) {
  std::vector<AppMoveEvent> events;
  std::vector<AppMoveEvent> completions;
  for (const auto& m : now) {
    const auto was = before.find(m.id);
    if (was != before.end() && was->second.mark == mark(m)) continue;
    events.push_back({"app-move-record",
                      {{"id", m.id},
                       {"name", m.displayName},
                       {"originalPath", m.originalPath},
                       {"phase", std::string(rawNameOf(apps::kAppMovePhaseNames, m.phase))},
                       {"underWay", apps::isUnfinished(m.phase)},
                       {"status", m.lastError.value_or(m.statusMessage.value_or(""))}}});
    if (const auto done = completionOf(was == before.end() ? nullptr : &was->second, m)) {
      completions.push_back(
          {std::string(apps::completionName(*done)), apps::completionUserInfo(*done)});
    }
  }
  events.insert(events.end(), completions.begin(), completions.end());
  return events;
}

AppMoveWatch::AppMoveWatch(fs::path folder, web::EventStream& events, StatePoller& poller)
    : folder_(std::move(folder)), events_(events) {
  poller.add([this] { look(); });
}

void AppMoveWatch::look() {
  std::string listing = folderListing(folder_);
  if (read_ && listing == listing_) return;
  listing_ = std::move(listing);
  // A record that cannot be read is skipped here; the app mover reports it.
  const apps::AppManifestStore store(
      folder_, [](const std::string&) {}, systemClock());
  const auto records = store.loadAll();
  // The first reading only sets the baseline: the page loads the list itself.
  if (read_) {
    for (const auto& event : appMoveEvents(marks_, records)) {
      events_.publish(event.name, event.data.dump());
    }
  }
  marks_ = marksOf(records);
  read_ = true;
}

}  // namespace brimvale::app
