#include "service/relocation/archive.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/base/file_calls.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "service/core/action_log.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

constexpr int kMaxStampSuffix = 9999;

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

// The last non-empty line of a tool's error output, for the cause of a failure.
std::string lastLine(const std::string& text) {
  const auto lines = splitLines(text);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (!trimBlanks(*it).empty()) return std::string(trimBlanks(*it));
  }
  return {};
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

std::expected<void, ArchiveMoveError> moveIntoClaim(const CheckedFolder& from,
                                                    const fs::path& relative,
                                                    const fs::path& target) {
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
  // A folder is copied into the claimed folder; anything else replaces the
  // claimed placeholder file.
  const std::vector<std::string> args =
      folder ? std::vector<std::string>{"-a", "--", (src / ".").string(), target.string()}
             : std::vector<std::string>{"-a", "--remove-destination", "--", src.string(),
                                        target.string()};
  ProcessResult copy = runProcess({.path = cp, .args = args});
  if (!copy.succeeded()) {
    dropClaim(target);
    const std::string why = lastLine(copy.err);
    return std::unexpected(ArchiveMoveError{"copying it to the drive failed (cp " +
                                            copy.describe() + (why.empty() ? "" : ": " + why) +
                                            ")"});
  }
  if (auto removed = from.remove(relative); !removed) {
    return std::unexpected(ArchiveMoveError{
        "the original could not be removed after copying (" + removed.error().detail + ")", true});
  }
  return {};
}

Result<void> plainMove(const fs::path& src, const fs::path& target) {
  std::error_code ec;
  // rename() would replace an existing file, and a failed copy removes its
  // target: either would destroy what already sits there.
  if (fs::exists(fs::symlink_status(target, ec))) {
    return fail(Errc::kInvalidArgument, "something already exists at " + target.string());
  }
  fs::rename(src, target, ec);
  if (!ec) return {};
  if (ec != std::errc::cross_device_link) return std::unexpected(errnoError("rename", ec.value()));
  const std::string cp = findExecutable("cp");
  if (cp.empty()) return fail(Errc::kLaunchFailed, "cp not found");
  ProcessResult copy =
      runProcess({.path = cp, .args = {"-a", "--", src.string(), target.string()}});
  if (!copy.succeeded()) {
    fs::remove_all(target, ec);
    return fail(Errc::kToolFailed, "cp " + copy.describe() + ": " + copy.err);
  }
  fs::remove_all(src, ec);
  if (ec) return std::unexpected(errnoError("removing the original after copying", ec.value()));
  return {};
}

ArchiveOutcome moveToNvme(ServiceContext& ctx, Guards& guards, const PathPolicy& policy,
                          const CheckedFolder& from, const fs::path& relative,
                          const std::string& destFolder, std::string_view reason) {
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
  if (auto moved = moveIntoClaim(from, relative, *target); !moved) {
    (void)withdrawUndo(ctx.paths, row);
    ctx.log.say("FAILED move: " + srcText + " \u2014 " + moved.error().cause +
                (moved.error().copyKept
                     ? ". A complete copy is at " + target->string() +
                           ", and whatever of the original could not be removed is still in "
                           "its place, so nothing was lost."
                     : kept));
    return ArchiveOutcome::kFailed;
  }
  const std::string sizeText = row.bytes ? std::to_string(*row.bytes) : std::string();
  ctx.log.say("moved (" + std::string(reason) + "): " + srcText + " -> " + target->string() + " (" +
              sizeText + " bytes)");
  recordDone(ctx.paths, now, row);
  return ArchiveOutcome::kMoved;
}

}  // namespace brimvale::service
