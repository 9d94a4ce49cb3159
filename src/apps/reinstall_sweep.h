// One look by the vendor-reinstall monitor with the app mover behind it: the
// reinstalled apps it finds are moved to the drive again before run() returns.
// Shared by `brimvale run`'s timer and `brimvale apps reinstalls --sweep`.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "apps/app_relocator_engine.h"
#include "apps/vendor_reinstall_monitor.h"

namespace brimvale::apps {

struct ReinstallSweepSetup {
  apps::AppMoveEnvironment env;
  // `<working folder>/Apps`; nothing while no drive is known.
  std::function<std::optional<std::filesystem::path>()> appsFolder;
  apps::InstallClassifier classifyInstall;
  std::function<void(const apps::MonitorNotification&)> notify;
  // Told of each move the sweep ran.
  std::function<void(const apps::EngineCompletion&)> moved;
};

// Not thread-safe: one thread at a time calls run() and reads monitor().
class ReinstallSweep {
 public:
  explicit ReinstallSweep(ReinstallSweepSetup setup);
  ReinstallSweep(const ReinstallSweep&) = delete;
  ReinstallSweep& operator=(const ReinstallSweep&) = delete;

  // Looks at every committed relocation and runs the moves that asked for.
  void run(apps::RetryTiming timing = apps::RetryTiming::kAfterBackOff);

  // The permission reviews the records hold open, by manifest id.
  [[nodiscard]] const std::map<std::string, apps::PendingEntitlementReview>& pendingReviews();
  // The user's answer to the review of `manifestID`: approved, the new
  // install is moved to the drive before this returns; not, it stays on the
  // internal disk for good. Fails when no such review is waiting.
  Result<void> answerReview(const std::string& manifestID, bool approve);

  [[nodiscard]] apps::AppRelocatorEngine& engine() { return engine_; }
  [[nodiscard]] const apps::VendorReinstallMonitor& monitor() const { return monitor_; }

 private:
  ReinstallSweepSetup setup_;
  apps::AppRelocatorEngine engine_;
  apps::VendorReinstallMonitor monitor_;
  // Moves the history of the relocation a re-relocation replaced onto the
  // new record, when the engine dropped the old one as its duplicate.
  void carryHistory(const apps::AppMoveManifest& replaced, const std::string& newID);
  void readRelocations();

  // The relocation a re-relocation replaces, by the new job's id: the engine
  // reports the job, the monitor keeps track of the relocation.
  std::map<std::string, apps::AppMoveManifest> replaces_;
  // Committed relocations by original path, read at the start of each run.
  std::map<std::string, std::string> relocationAt_;
};

}  // namespace brimvale::apps
