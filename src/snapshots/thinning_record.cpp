#include "snapshots/thinning_record.h"

namespace brimvale::snapshots {

AppThinningRecorder::AppThinningRecorder(platform::UserDefaults& defaults,
                                         transfers::BackgroundJobsStore& ledger,
                                         platform::LogSink log)
    : defaults_(defaults), ledger_(ledger), log_(std::move(log)) {}

void AppThinningRecorder::rememberLastReclaim(double epochSeconds) {
  auto stored = defaults_.setDouble(kLastReclaimAtEpochKey, epochSeconds);
  if (!stored) {
    log_("SnapshotManager: couldn't remember the thinning time: " + stored.error().message());
  }
}

void AppThinningRecorder::recordLedgerRun(std::string_view job, std::string_view summary) {
  const auto kind = transfers::jobKindFromRaw(job);
  if (!kind) {
    log_("SnapshotManager: no ledger kind named " + std::string(job));
    return;
  }
  auto recorded = ledger_.recordRun(*kind, transfers::JobOutcome::kOk, summary);
  if (!recorded) {
    log_("SnapshotManager: couldn't record the thinning in the ledger: " +
         recorded.error().message());
  }
}

}  // namespace brimvale::snapshots
