#include "service/relocation/archive.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/guarded_removal.h"
#include "common/base/process.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "mover/verification.h"
#include "service/core/action_log.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr int kMaxStampSuffix = 9999;
// Copies of an item whose original changed meanwhile, before it is left for a later run.
constexpr int kCopyRounds = 3;

// Creates `target` exclusively: true when this call created it, false when
// the name was taken already (a link, even a dangling one, counts as taken).
Result<bool> claim(const fs::path& target, ClaimKind kind) {
  const std::error_code made = createExclusively(target, kind);
  if (!made) return true;
  if (made == std::errc::file_exists) return false;
  return std::unexpected(errnoError("claim " + target.string(), made.value()));
}

// Removes a target this run claimed (and possibly half filled).
void dropClaim(const fs::path& target) {
  std::error_code ec;
  fs::remove_all(target, ec);
}

}  // namespace

bool isLockOrMetadataName(std::string_view name) {
  constexpr std::array<const char*, 9> kPatterns{"~$*.docx",  "~$*.xlsx",  "~$*.pptx",
                                                 ".~lock.*#", ".DS_Store", "Icon\r",
                                                 "._*",       "*.swp",     "*.swo"};
  const std::string text(name);
  for (const char* pattern : kPatterns) {
    if (fnmatch(pattern, text.c_str(), 0) == 0) return true;
  }
  return false;
}

Result<fs::path> claimArchiveTarget(const fs::path& folder, const std::string& name,
                                    std::time_t now, ClaimKind kind) {
  fs::path target = folder / name;
  auto claimed = claim(target, kind);
  if (!claimed) return std::unexpected(claimed.error());
  if (*claimed) return target;
  const fs::path month = folder / formatLocal(now, "%Y-%m");
  if (mkdir(month.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::unexpected(errnoError("create " + month.string(), errno));
  }
  const std::string stamped = name + "." + std::to_string(now);
  for (int n = 0; n <= kMaxStampSuffix; ++n) {
    target = month / (n == 0 ? name : n == 1 ? stamped : stamped + "." + std::to_string(n));
    claimed = claim(target, kind);
    if (!claimed) return std::unexpected(claimed.error());
    if (*claimed) return target;
  }
  return fail(Errc::kIo, "every archive name for " + name + " in " + month.string() + " is taken");
}

namespace {

// Copies `src` into the claimed `target`: a folder's contents into the
// claimed folder (emptied first, so a copy made again holds nothing the
// source no longer has), anything else over the claimed placeholder file.
std::expected<void, std::string> copyIntoClaim(const ProcessRunner& run, const std::string& cp,
                                               const fs::path& src, const fs::path& target,
                                               bool folder) {
  std::vector<std::string> args{"-a", "--remove-destination", "--", src.string(), target.string()};
  if (folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(target, ec)) fs::remove_all(entry.path(), ec);
    args = {"-a", "--", (src / ".").string(), target.string()};
  }
  ProcessResult copy = run({.path = cp, .args = args});
  if (copy.succeeded()) return {};
  const std::string why(lastNonBlankLine(copy.err));
  return std::unexpected("copying it to the drive failed (cp " + copy.describe() +
                         (why.empty() ? "" : ": " + why) + ")");
}

// "a, b, c (+2 more)": the first few paths of a list, for a sentence.
std::string firstFew(const std::vector<std::string>& paths) {
  std::string out;
  for (std::size_t i = 0; i < paths.size() && i < 3; ++i) out += (i ? ", " : "") + paths[i];
  if (paths.size() > 3) out += " (+" + std::to_string(paths.size() - 3) + " more)";
  return out;
}

}  // namespace

std::expected<void, ArchiveMoveError> moveIntoClaim(const ProcessRunner& run,
                                                    const CheckedFolder& from,
                                                    const fs::path& relative,
                                                    const fs::path& target,
                                                    const MountAnchor* drive) {
  const std::error_code renamed = from.renameTo(relative, target);
  if (!renamed) return {};
  if (renamed != std::errc::cross_device_link) {
    dropClaim(target);
    return std::unexpected(ArchiveMoveError{"moving it failed: " + renamed.message()});
  }
  const fs::path src = from.path() / relative;
  const bool folder = fs::is_directory(linkStatus(src).value_or(fs::file_status{}));
  const std::string cp = findExecutable("cp");
  if (cp.empty()) {
    dropClaim(target);
    return std::unexpected(ArchiveMoveError{"the copy tool cp was not found"});
  }
  const auto driveGone = [&] { return drive != nullptr && !drive->holds(target.parent_path()); };
  const ArchiveMoveError unplugged{.cause = "the drive was disconnected while it was being copied",
                                   .driveGone = true};
  const ArchiveMoveError replaced{from.path().string() +
                                  " was replaced while it was being archived"};
  // What changed while it was copied is copied again; an item that keeps
  // changing stays where it is.
  std::optional<std::chrono::system_clock::time_point> copyStarted;
  for (int round = 1;; ++round) {
    if (!from.stillAt()) {
      dropClaim(target);
      return std::unexpected(replaced);
    }
    copyStarted = std::chrono::system_clock::now();
    if (auto copied = copyIntoClaim(run, cp, src, target, folder); !copied) {
      if (driveGone()) return std::unexpected(unplugged);
      dropClaim(target);
      return std::unexpected(ArchiveMoveError{copied.error()});
    }
    if (driveGone()) return std::unexpected(unplugged);
    if (!from.stillAt()) {
      dropClaim(target);
      return std::unexpected(replaced);
    }
    auto differing = mover::exactCopyDifferences(src, target, copyStarted);
    if (!differing) {
      dropClaim(target);
      return std::unexpected(ArchiveMoveError{"its copy couldn't be compared with it (" +
                                              differing.error().message() + ")"});
    }
    if (differing->empty()) break;
    if (round == kCopyRounds) {
      dropClaim(target);
      return std::unexpected(ArchiveMoveError{"it kept changing while it was being copied (" +
                                              firstFew(*differing) +
                                              "), so it was left for a later run"});
    }
  }
  stopPoint("archive:copied");
  if (driveGone()) return std::unexpected(unplugged);
  const GuardedRemoval removed =
      from.removeVerified(relative, target, ReplaceGuard({.copyStarted = copyStarted}));
  stopPoint("archive:removed");
  if (!removed.complete()) {
    return std::unexpected(ArchiveMoveError{
        .cause = "some of it changed just as it was being removed after copying (" +
                 firstFew(removed.leftBehind()) + "); those files are still in their place",
        .copyKept = true});
  }
  return {};
}

ArchiveOutcome moveToNvme(ServiceContext& ctx, Guards& guards, const PathPolicy& policy,
                          const CheckedFolder& from, const fs::path& relative,
                          const std::string& destFolder, std::string_view reason,
                          const std::optional<MountAnchor>& drive) {
  const fs::path src = from.path() / relative;
  struct stat info {};
  if (lstat(src.c_str(), &info) != 0) return ArchiveOutcome::kSkipped;
  const std::string srcText = src.string();
  if (auto allowed = policy.check(src); !allowed) {
    ctx.log.say("skip (refused): " + srcText + ". " + allowed.error().sentence());
    return ArchiveOutcome::kSkipped;
  }
  if (guards.isOpen(srcText)) {
    ctx.log.say("skip (open): " + srcText);
    return ArchiveOutcome::kSkipped;
  }
  if (guards.isCloudPath(srcText)) {
    ctx.log.say("skip (cloud): " + srcText);
    return ArchiveOutcome::kSkipped;
  }
  if (isLockOrMetadataName(src.filename().string())) {
    ctx.log.say("skip (lock/metadata): " + srcText);
    return ArchiveOutcome::kSkipped;
  }
  const std::string kept = ". It is still in its place; nothing was lost.";
  if (!drive || !drive->holds(ctx.cfg().base())) {
    ctx.log.say("FAILED move: " + srcText + " \u2014 the drive at " + ctx.cfg().nvme().string() +
                " is no longer the one this run began on, so nothing was written to it" + kept);
    return ArchiveOutcome::kDriveGone;
  }
  const fs::path folder = ctx.cfg().base() / destFolder;
  std::error_code ec;
  fs::create_directories(folder, ec);
  const std::time_t now = ctx.clock();
  auto target = claimArchiveTarget(folder, src.filename().string(), now,
                                   S_ISDIR(info.st_mode) ? ClaimKind::kFolder : ClaimKind::kFile);
  if (!target) {
    ctx.log.say("FAILED move: " + srcText + " \u2014 no archive name could be taken in " +
                folder.string() + " (" + target.error().detail + ")" + kept);
    return ArchiveOutcome::kFailed;
  }
  const ActionRow row{"move", srcText, target->string(), bytesOf(srcText)};
  // Undo first: a move that rollback could not find must not happen.
  if (auto undo = recordUndo(ctx.paths, row); !undo) {
    dropClaim(*target);
    ctx.log.say("FAILED move: " + srcText + " \u2014 the undo record " +
                ctx.paths.lastBatch.string() + " couldn't be written (" + undo.error().detail +
                "), so it was not moved" + kept);
    return ArchiveOutcome::kUndoUnwritten;
  }
  stopPoint("archive:claimed");
  if (auto moved = moveIntoClaim(platform::runnerOf(*ctx.platform.launcher), from, relative,
                                 *target, &*drive);
      !moved) {
    bestEffort(withdrawUndo(ctx.paths, row), DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "taking the failed move out of the undo batch");
    ctx.log.say("FAILED move: " + srcText + " \u2014 " + moved.error().cause +
                (moved.error().copyKept
                     ? ". A complete copy is at " + target->string() +
                           ", and whatever of the original could not be removed is still in "
                           "its place, so nothing was lost."
                     : kept));
    return moved.error().driveGone ? ArchiveOutcome::kDriveGone : ArchiveOutcome::kFailed;
  }
  const std::string sizeText = row.bytes ? std::to_string(*row.bytes) : std::string();
  ctx.log.say("moved (" + std::string(reason) + "): " + srcText + " -> " + target->string() + " (" +
              sizeText + " bytes)");
  recordDone(ctx.paths, now, row);
  return ArchiveOutcome::kMoved;
}

}  // namespace brimvale::service
