// The drive-to-drive transfer job: copies the working folder to another
// drive in a detached supervisor process with rsync --partial as the resume
// mechanism, verifies it by checksum, and survives pauses, unplugging and
// restarts; the watch loop keeps it going through transferTick().
#pragma once

#include <string>
#include <vector>

#include "service/core/service_context.h"
#include "service/drive_transfer/transfer_cancel.h"
#include "service/drive_transfer/transfer_tick.h"

namespace brimvale::service {

int transferCheckCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferStartCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferStatusCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferPauseCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferResumeCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int transferCommitCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// __xfer-supervise: runs the copy and the verification; started only by the above.
int transferSuperviseCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
