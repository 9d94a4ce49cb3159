#include "relocated/app_homecoming.h"

#include "apps/app_move_environment.h"

namespace brimvale::relocated {

std::vector<AppAway> appsAway(const StatePaths& paths) {
  const apps::AppManifestStore store(
      paths.appMovesFolder, [](const std::string&) {}, systemClock());
  std::vector<AppAway> away;
  for (const auto& m : store.loadAll()) {
    const bool unfinished = apps::isUnfinished(m.phase);
    if (!unfinished && !apps::isLiveRelocation(m)) continue;
    // A repair only renames the parked original back: it needs no room.
    const std::uint64_t bytes = unfinished ? 0 : static_cast<std::uint64_t>(m.srcSizeKB) * 1024;
    away.push_back({m.id, m.displayName, m.originalPath, m.nvmePath, bytes, unfinished});
  }
  return away;
}

EngineAppHomecoming::EngineAppHomecoming(const StatePaths& paths, const std::string& computerName,
                                         platform::LogSink log, ProcessRunner run)
    : paths_(paths),
      log_(std::move(log)),
      tools_(platform::makeHostAppRelocationTools(log_, std::move(run))),
      store_(paths.appMovesFolder, log_, systemClock()),
      engine_(apps::AppMoveEnvironment::forHome(paths.home, computerName, *tools_, store_, log_)) {}

Result<std::string> EngineAppHomecoming::bringHome(const AppAway& app) {
  auto done = engine_.runMoveBack(app.id);
  if (!done) return fail(Errc::kToolFailed, done.error().userMessage());
  if (!done->success) return fail(Errc::kToolFailed, done->sentence);
  return done->sentence;
}

}  // namespace brimvale::relocated
