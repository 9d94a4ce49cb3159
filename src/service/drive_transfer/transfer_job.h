// The drive-to-drive transfer job: copies the working folder to another
// drive in a detached supervisor process with rsync --partial as the resume
// mechanism, verifies it by checksum, and survives pauses, unplugging and
// restarts; the watch loop keeps it going through transferTick().
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

int transferCheckCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferStartCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferStatusCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferPauseCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferResumeCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// transfer-cancel [--yes|-y]: asks on a terminal before deleting a verified
// copy, refuses without a terminal and without --yes.
int transferCancelCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferCommitCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// __xfer-supervise: runs the copy and the verification; started only by the above.
int transferSuperviseCommand(ServiceContext& ctx, const std::vector<std::string>& args);

// Whether deleting a verified copy was agreed to.
enum class CancelConsent { kGiven, kAskOnTerminal, kNone };

// Stops the job and deletes its copy, which must pass every check of a path
// read from a state file (else it stays, and the sentence saying so makes the
// exit status 1). A verified copy (`copied`) is deleted only with consent:
// asked for on `in` when kAskOnTerminal, refused (exit 2) when kNone. A job
// in `switching` is never cancelled.
int cancelTransfer(ServiceContext& ctx, CancelConsent consent, std::istream& in);

// One watch-loop tick for the job, under the same control lock as pause,
// resume, cancel and commit. A job found in `switching` lost its commit: the
// switch is finished (select-drive, then done; back to copied with the cause
// when that fails). A job in waitingForDrive, or in copying or verifying
// without a live supervisor, is taken up again with both drives mounted and
// both working folders present: the supervisor is relaunched (re-running the
// check for verifying) and a resume counted — or, after 20 resumes, the job
// fails and frees the lock; otherwise it (re)writes waitingForDrive. A paused
// job is never resumed here. Failures are logged, never thrown.
void transferTick(ServiceContext& ctx);
// The same, starting `serviceProgram` (this program's path) as the supervisor.
void transferTick(ServiceContext& ctx, const std::string& serviceProgram);

}  // namespace brimvale::service
