// Relocating one folder to the drive: copy it into {BASE}/Relocated with GNU
// rsync, park the original beside itself and leave a link in its place.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/base/file_operations.h"
#include "common/base/folder_in_use.h"
#include "service/core/service_context.h"

namespace brimvale::service {

// Exit codes of move-dir; persisted by callers, never renumber.
enum class MoveDirCode {
  kRelocated = 0,
  kInvalidRequest = 2,  // no path, missing, already a link, not a folder, already on the drive,
                        // outside what may move, or changed while it was being moved
  kDriveNotUsable = 3,
  kInUse = 4,       // also: kept changing while it was being moved
  kCopyFailed = 6,  // also: no GNU rsync, or the move's record could not be written
  kParkFailed = 7,  // also: the undo record could not be written
  kLinkFailed = 8,  // original restored
};

// What became of a parked original when a move could not finish.
enum class PutBack {
  kNotNeeded,  // never parked, or the move finished
  kDone,       // back at its own path
  kStuck,      // still at its parked name, beside a full copy
};

// What a move-dir run did, apart from how it is said: the paths it worked
// with and, for a move that did not happen, why (the sentence said after
// "ERR: " and the lines that explain it) and where the original is.
struct MoveDirOutcome {
  MoveDirCode code = MoveDirCode::kRelocated;
  std::filesystem::path src;
  std::filesystem::path target;  // the copy on the drive; empty before one was claimed
  std::filesystem::path parked;  // the original's parked name; empty before one was chosen
  std::optional<std::uint64_t> bytes;
  bool parkedIsOurs = false;  // relocated: the parked folder is the one this move parked
  std::string reason;
  std::vector<std::string> details;  // an empty line stands for a blank line
  PutBack putBack = PutBack::kNotNeeded;
};

// The copy tool's arguments for copying `src` into `target`: archive mode with
// hard links, executability and extended attributes, one progress line for
// the whole transfer, the full file list up front.
[[nodiscard]] std::vector<std::string> moveDirCopyArguments(const std::filesystem::path& src,
                                                            const std::filesystem::path& target);

// Does what safeMoveDirToNvme does, printing only its progress (the steps
// and rsync's progress) on ctx.out.
[[nodiscard]] MoveDirOutcome moveDirToNvme(ServiceContext& ctx, const FolderInUseProbe& inUse,
                                           const std::string& path,
                                           FileOperations& files = FileOperations::real());

// The report that ends a run's output: the OK block or the ERR lines.
[[nodiscard]] std::string renderMoveDirOutcome(const MoveDirOutcome& outcome);

// Runs every check (the move scope, the drive, every process using anything
// inside the folder), then copy -> park -> compare -> link, printing each
// step (rsync's progress streamed as it comes) and the final report on
// ctx.out. Requires loaded configuration.
//
// A record (move_dir_record.h) is written before the copy and the undo row
// before parking; when either cannot be written nothing moves. After parking
// the copy is compared with the parked original and late changes are copied
// again, so the parked folder never holds a write the copy lacks. A failure
// puts the folder back at its own path and removes only the copy this move
// made. A move stopped at any step is finished by running it again on the
// same path; one whose state no longer matches its record is left alone and
// described. Every change to the disk goes through `files`.
[[nodiscard]] MoveDirCode safeMoveDirToNvme(ServiceContext& ctx, const FolderInUseProbe& inUse,
                                            const std::string& path,
                                            FileOperations& files = FileOperations::real());

// The `move-dir {path}` subcommand: the move, then a fresh status snapshot.
// Moves run one at a time; a second one waits for the first.
int moveDirCommand(ServiceContext& ctx, const std::vector<std::string>& args);

// For doctor: each unfinished relocation, where its data is now and the
// command that finishes it; empty when there is none.
[[nodiscard]] std::string unfinishedRelocationsReport(const ServiceContext& ctx);

}  // namespace brimvale::service
