// Relocating one folder to the drive: copy it into {BASE}/Relocated with GNU
// rsync, park the original beside itself and leave a link in its place.
#pragma once

#include <string>

#include "service/guards.h"
#include "service/service_context.h"

namespace brimvale::service {

// Exit codes of move-dir; persisted by callers, never renumber.
enum class MoveDirCode {
  kRelocated = 0,
  kInvalidRequest = 2,  // no path, missing, already a link, not a folder, already on the drive
  kDriveNotUsable = 3,
  kInUse = 4,
  kCopyFailed = 6,  // also: no GNU rsync
  kParkFailed = 7,
  kLinkFailed = 8,  // original restored
};

// Runs every check, then copy -> park -> link, printing each step (rsync's
// progress streamed as it comes) and the final report on ctx.out. Requires
// loaded configuration. Every failure leaves the folder at its own path and
// removes the partial copy.
[[nodiscard]] MoveDirCode safeMoveDirToNvme(ServiceContext& ctx, Guards& guards,
                                            const std::string& path);

// The `move-dir {path}` subcommand: the move, then a fresh status snapshot.
int moveDirCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
