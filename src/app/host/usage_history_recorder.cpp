#include "app/host/usage_history_recorder.h"

#include <algorithm>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/state/config_keys.h"
#include "common/state/service_config.h"
#include "common/state/usage_history.h"

namespace brimvale::app {
namespace {

using transfers::JobKind;
using transfers::JobOutcome;

constexpr std::chrono::seconds kCheckTolerance{60};
constexpr std::time_t kHour = 3600;

// Runs on a worker thread (measuring walks folders of the home), so it works
// on copies and on the platform's measuring objects only.
Result<void> appendRow(const StatePaths& paths, platform::VolumeMeter& volumes,
                       platform::MountTable& mounts, const std::string& workingFolder,
                       std::time_t now) {
  // The service's defaults apply while the configuration cannot be read.
  auto loaded = loadServiceConfig(paths, workingFolder);
  const ServiceConfig cfg =
      loaded ? std::move(*loaded) : ServiceConfig::fromValues({}, workingFolder);
  const platform::VolumeSpace internal = volumes.measure("/");
  platform::VolumeSpace drive{};
  if (mounts.isMountedAt(cfg.nvme().string()) &&
      pathExists(cfg.base() / kMarkerFileName).value_or(false)) {
    drive = volumes.measure(cfg.nvme().string());
  }
  const std::string row = usageHistoryRow(
      now, {internal.freeBytes, internal.totalBytes, drive.freeBytes, drive.totalBytes}, paths.home,
      paths.state);
  return appendUsageHistoryRow(paths.state / kUsageHistoryFile, row,
                               cfg.getInt(config_keys::kHistoryMaxDays), now);
}

}  // namespace

UsageHistoryRecorder::UsageHistoryRecorder(Dependencies d) : d_(std::move(d)) {}

void UsageHistoryRecorder::start() {
  stop();
  check();
  timer_ = d_.scheduler.scheduleRepeating(
      "usage-history.timer",
      std::chrono::duration_cast<std::chrono::milliseconds>(kUsageHistoryCheckInterval),
      std::chrono::duration_cast<std::chrono::milliseconds>(kCheckTolerance), [this] { check(); });
}

void UsageHistoryRecorder::stop() {
  if (timer_) d_.scheduler.cancel(*timer_);
  timer_.reset();
}

void UsageHistoryRecorder::check() {
  if (writing_) return;
  const std::time_t now = d_.clock();
  // Read from the file each time, so a restart within the hour adds nothing.
  const auto last = lastUsageHistoryTime(d_.paths.state / kUsageHistoryFile);
  if (last && *last / kHour == now / kHour) return;
  writing_ = true;
  d_.scheduler.runInBackground([this, paths = d_.paths, name = d_.workingFolderName,
                                &volumes = d_.volumes, &mounts = d_.mounts,
                                now]() -> std::function<void()> {
    auto appended = appendRow(paths, volumes, mounts, name, now);
    return [this, appended = std::move(appended)] {
      writing_ = false;
      const auto outcome = appended ? JobOutcome::kOk : JobOutcome::kFailed;
      const std::string summary =
          appended ? "Recorded this hour's disk usage."
                   : "Could not record this hour's disk usage: " + appended.error().detail +
                         " Nothing else is affected; Brimvale tries again within the hour.";
      bestEffort(d_.ledger.recordRun(JobKind::kUsageHistory, outcome, summary, appended ? 1 : 0),
                 DiagnosticsLog(d_.paths.diagnosticsLog, d_.clock),
                 "recording the usage-history run");
    };
  });
}

}  // namespace brimvale::app
