// Where a successful restore-point thinning is remembered in the application:
// the time in the user-defaults store and a run in the background-job ledger.
#pragma once

#include "platform/notification_center.h"
#include "platform/user_defaults.h"
#include "snapshots/snapshot_manager.h"
#include "transfers/background_jobs.h"

namespace brimvale::snapshots {

// The time is stored as a real number of seconds, fraction included; a reader
// of a value an older version stored as whole seconds gets that instant. A
// write that fails is logged and does not undo the thinning, which already
// happened.
class AppThinningRecorder final : public ThinningRecorder {
 public:
  // All three must outlive the recorder.
  AppThinningRecorder(platform::UserDefaults& defaults, transfers::BackgroundJobsStore& ledger,
                      platform::LogSink log);

  void rememberLastReclaim(double epochSeconds) override;
  void recordLedgerRun(std::string_view job, std::string_view summary) override;

 private:
  platform::UserDefaults& defaults_;
  transfers::BackgroundJobsStore& ledger_;
  platform::LogSink log_;
};

}  // namespace brimvale::snapshots
