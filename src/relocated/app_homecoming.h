// Moved apps coming home for the panic button: the app mover's own repair of
// moves a crash cut short and its move back, run to their end in this
// process, behind one small interface so the panic button can be tested alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "apps/app_move_store.h"
#include "apps/app_relocator_engine.h"
#include "common/base/error.h"
#include "common/state/paths.h"
#include "platform/app_relocation_tools.h"
#include "platform/notification_center.h"

namespace brimvale::relocated {

struct AppAway {
  std::string id;  // the move record's
  std::string name;
  std::filesystem::path originalPath;
  std::filesystem::path nvmePath;
  std::uint64_t bytes = 0;
  // A move a crash cut short: repaired (the app put back where it was), not moved back.
  bool unfinished = false;
};

// From the app move records of `paths`: the apps living on the drive and the
// moves a crash cut short. Reads only; no folder is created.
[[nodiscard]] std::vector<AppAway> appsAway(const StatePaths& paths);

class AppHomecoming {
 public:
  virtual ~AppHomecoming() = default;
  // appsAway, now.
  [[nodiscard]] virtual std::vector<AppAway> away() const = 0;
  // Repairs the moves a crash cut short, each app back where it was.
  virtual void settleUnfinished() = 0;
  // Moves one app back; the mover's sentence of how it ended, or why it did not.
  [[nodiscard]] virtual Result<std::string> bringHome(const AppAway& app) = 0;
};

// Through AppRelocatorEngine with this computer's tools, logging to `log`.
class EngineAppHomecoming : public AppHomecoming {
 public:
  EngineAppHomecoming(const StatePaths& paths, const std::string& computerName,
                      platform::LogSink log, ProcessRunner run);
  [[nodiscard]] std::vector<AppAway> away() const override { return appsAway(paths_); }
  void settleUnfinished() override { (void)engine_.recoverPendingManifests(); }
  [[nodiscard]] Result<std::string> bringHome(const AppAway& app) override;

 private:
  StatePaths paths_;
  platform::LogSink log_;
  std::unique_ptr<platform::AppRelocationTools> tools_;
  apps::AppManifestStore store_;
  apps::AppRelocatorEngine engine_;
};

}  // namespace brimvale::relocated
