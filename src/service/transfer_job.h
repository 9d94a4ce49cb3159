// The drive-to-drive transfer job: copies the working folder to another
// drive in a detached supervisor process with rsync --partial as the resume
// mechanism, verifies it by checksum, and survives pauses, unplugging and
// restarts; the watch loop keeps it going through transferTick().
#pragma once

#include <string>
#include <vector>

#include "service/service_context.h"

namespace brimvale::service {

int transferCheckCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferStartCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferStatusCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferPauseCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferResumeCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferCancelCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferCommitCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// __xfer-supervise: runs the copy and the verification; started only by the above.
int transferSuperviseCommand(ServiceContext& ctx, const std::vector<std::string>& args);

// One watch-loop tick for the job. Does nothing unless the phase is
// waitingForDrive, or copying without a live supervisor. Then, with both
// drives mounted and both working folders present, it relaunches the
// supervisor and counts a resume — or, after 20 resumes, fails the job and
// frees the lock; otherwise it (re)writes waitingForDrive. A paused job is
// never resumed here. Failures are logged, never thrown.
void transferTick(ServiceContext& ctx);
// The same, starting `serviceProgram` (this program's path) as the supervisor.
void transferTick(ServiceContext& ctx, const std::string& serviceProgram);

}  // namespace brimvale::service
