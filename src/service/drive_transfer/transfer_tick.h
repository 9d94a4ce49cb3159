// The watch loop's care of the transfer job: finishing an interrupted
// switch and relaunching a supervisor the job lost.
#pragma once

#include <string>

#include "service/core/service_context.h"

namespace brimvale::service {

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
