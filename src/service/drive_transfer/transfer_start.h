// Starting a transfer (or backup) job: startTransfer does the work and
// reports what happened as a record; renderStart says it, exactly as the
// transfer-start command always has.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/state/drive_transfer_job.h"
#include "service/core/service_context.h"

namespace brimvale::service {

enum class StartVerdict {
  kStarted,
  kUsage,               // the arguments do not fit the command
  kNotConfirmed,        // the consent argument is not a yes
  kDestinationMissing,  // the destination is not a folder
  kAlreadyRunning,      // another job holds the job lock
  kBlocked,             // the preflight refused the destination
  kFolderNotCreated,    // the working folder on the destination could not be made
  kStateNotSaved,       // the job's state could not be written
};

struct TransferStartOutcome {
  StartVerdict verdict = StartVerdict::kUsage;
  std::string kind;                    // "transfer" or "backup"
  std::filesystem::path destination;   // as the mount table spells it
  std::vector<std::string> reasons;    // the preflight's, when it ran
  std::uint64_t sourceBytes = 0;       // measured by the preflight
  std::uint64_t freeBytes = 0;         // on the destination
  std::optional<TransferPhase> phase;  // the job's phase afterwards
  // The launched supervisor; nothing when it could not be launched (the job
  // is started all the same and the watch tick launches it again).
  std::optional<int> supervisorPid;
  std::string saveError;     // why the state could not be saved (kStateNotSaved)
  std::string usageProblem;  // what the arguments lack, in a sentence (kUsage)
};

// `args`: [transfer|backup] <destination> <consent>. `serviceProgram` is what
// the supervisor runs (this program).
[[nodiscard]] TransferStartOutcome startTransfer(ServiceContext& ctx,
                                                 const std::vector<std::string>& args,
                                                 const std::string& serviceProgram);

// Prints the outcome on ctx.out (the usage line on ctx.err); returns the exit status.
int renderStart(ServiceContext& ctx, const TransferStartOutcome& outcome);

}  // namespace brimvale::service
