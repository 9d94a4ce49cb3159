#include "app/folder_homecoming.h"

#include <algorithm>
#include <chrono>

#include "common/base/file_calls.h"
#include "common/base/guarded_removal.h"
#include "common/base/mount_anchor.h"
#include "common/base/process.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
#include "common/state/configured_drive.h"
#include "common/state/path_policy.h"
#include "mover/verification.h"

namespace brimvale::app {
namespace fs = std::filesystem;
using mover::MoveManifest;
using mover::MovePhase;

namespace {

constexpr std::chrono::hours kCopyLimit{6};
constexpr std::string_view kSetAsideSuffix = ".brimvale-links";

bool present(const fs::path& path) {
  return fs::exists(linkStatus(path).value_or(fs::file_status{}));
}

bool onDrive(const std::string& path, const fs::path& mount) {
  const auto p = normalisedAbsolute(path);
  return p && (*p == mount || isStrictlyInside(*p, mount));
}

// Removes the links below `folder` that lead into `copy` (absolute targets,
// as the relocation made them); nothing else.
void removeOwnLinks(const fs::path& folder, const std::string& copy) {
  const auto root = normalisedAbsolute(copy);
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_symlink(ec)) continue;
    const auto target = readSymlink(it->path());
    const auto resolved =
        target && target->is_absolute() ? normalisedAbsolute(target->string()) : std::nullopt;
    if (root && resolved && (*resolved == *root || isStrictlyInside(*resolved, *root)))
      (void)removePath(it->path());
  }
}

std::vector<MoveManifest> records(const StatePaths& paths) {
  return mover::ManifestStore(paths.state, {}, systemClock()).all();
}

}  // namespace

fs::path setAsidePathOf(const std::string& src) { return src + std::string(kSetAsideSuffix); }

const MoveManifest* finishedReturnOf(const std::vector<MoveManifest>& all,
                                     const MoveManifest& relocation) {
  const std::string parent = fs::path(relocation.src).parent_path().string();
  for (const auto& m : all) {
    if (m.phase == MovePhase::kDone && !m.replaceSourceWithSymlink &&
        m.src == relocation.finalDst && m.dstParent == parent) {
      return &m;
    }
  }
  return nullptr;
}

Result<std::vector<std::string>> filesNotHome(const fs::path& aside, const fs::path& home) {
  std::vector<std::string> missing;
  std::error_code ec;
  fs::recursive_directory_iterator it(aside, ec), end;
  if (ec) return fail(Errc::kIo, aside.string() + ": " + ec.message());
  for (; it != end; it.increment(ec)) {
    if (ec) return fail(Errc::kIo, aside.string() + ": " + ec.message());
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    const fs::path relative = it->path().lexically_relative(aside);
    const auto mine = mover::sha256File(it->path());
    if (!mine || mine != mover::sha256File(home / relative)) missing.push_back(relative.string());
  }
  return missing;
}

Result<void> RevertHomecoming::settleUnfinished() {
  const auto all = records(context_.paths);
  if (std::all_of(all.begin(), all.end(),
                  [](const MoveManifest& m) { return mover::isTerminal(m.phase); })) {
    return {};
  }
  // Which moves go towards the drive depends on where it is.
  const auto drive = configuredDrive(context_.paths);
  if (!drive) return fail(Errc::kUnavailable, driveUnknownMessage(drive.error(), context_.paths));
  const fs::path mount = *drive;
  for (const auto& m : all) {
    const bool towardsDrive = !onDrive(m.src, mount);
    if (mover::isTerminal(m.phase) || !towardsDrive || m.phase == MovePhase::kCleaningUp) continue;
    if (movesCommand(context_, "cancel", m.id) != 0) {
      return fail(Errc::kToolFailed, "The unfinished move of " + m.src +
                                         " could not be stopped; its original is still there.");
    }
  }
  if (movesCommand(context_, "resume", "") != 0) {
    return fail(Errc::kToolFailed,
                "An unfinished folder move did not end well; `brimvale moves` shows which.");
  }
  return {};
}

Result<void> RevertHomecoming::setLinksAside(const MoveManifest& relocation) {
  const fs::path src = relocation.src;
  const fs::path aside = setAsidePathOf(relocation.src);
  std::error_code ec;
  if (present(aside) && isDirectory(src).value_or(false) && fs::is_empty(src, ec)) {
    // A move back stopped right after claiming the path; the claim is all there is.
    (void)removePath(src);
  }
  if (!present(src)) return {};  // set aside by an earlier, interrupted run
  if (present(aside)) {
    return fail(Errc::kInvalidArgument,
                aside.string() + " is in the way of the links of " + src.string() +
                    ". Nothing was changed there; move it elsewhere and run this again.");
  }
  // Apps that save by replacing a file put a real file where a link was: the
  // copy must hold that newer file before it comes back, and the version it
  // replaces on the drive comes home beside it.
  if (isDirectory(src).value_or(false) && !rsyncPath_.empty()) {
    const auto drive = configuredDrive(context_.paths);
    const auto anchor = drive ? MountAnchor::take(*drive) : std::nullopt;
    const auto onDrive = [&] { return anchor && anchor->holds(relocation.finalDst); };
    if (!onDrive()) {
      return fail(Errc::kUnavailable,
                  "The copy of " + src.string() + " at " + relocation.finalDst +
                      " is not on a connected drive, so nothing was moved; everything is where "
                      "it was. Connect the drive and try again.");
    }
    const std::string suffix = keptAsideName("", std::chrono::system_clock::now());
    const ProcessResult r =
        runProcess({.path = rsyncPath_,
                    .args = {"-a", "--no-links", "--backup", "--suffix=" + suffix,
                             src.string() + "/", relocation.finalDst + "/"},
                    .deadline = kCopyLimit});
    if (!r.succeeded() || !onDrive()) {
      return fail(Errc::kToolFailed,
                  "Files written in " + src.string() +
                      " since it was relocated could not be added to its copy. Nothing was "
                      "moved; everything is where it was. Raw error: " +
                      r.err);
    }
    stopPoint("homecoming:synced");
  }
  if (auto renamed = renamePath(src, aside); !renamed) {
    return fail(Errc::kIo, "The links at " + src.string() +
                               " could not be set aside, so the folder stays on the drive. "
                               "Raw error: " +
                               renamed.error().detail);
  }
  stopPoint("homecoming:set-aside");
  return {};
}

Result<void> RevertHomecoming::removeSetAside(const MoveManifest& relocation) {
  const fs::path aside = setAsidePathOf(relocation.src);
  if (!present(aside)) return {};
  auto missing = filesNotHome(aside, relocation.src);
  if (!missing) return std::unexpected(missing.error());
  if (!missing->empty()) {
    return fail(Errc::kInvalidArgument,
                relocation.src + " is home, but " + aside.string() + " still holds " +
                    std::to_string(missing->size()) +
                    " file(s) that differ from it; it was kept so you can compare them.");
  }
  // The relocation's own links go; whatever else is there goes only where
  // the guard finds it at home as it is.
  removeOwnLinks(aside, relocation.finalDst);
  const GuardedRemoval removal = removeVerifiedTree(aside, relocation.src, ReplaceGuard());
  if (!removal.complete()) {
    std::string left;
    for (const auto& p : removal.leftBehind()) left += (left.empty() ? "" : ", ") + p;
    return fail(Errc::kIo, relocation.src + " is home; " + aside.string() + " still holds " + left +
                               ", which did not match what is home, so it was kept.");
  }
  return {};
}

Result<void> RevertHomecoming::bringHome(const MoveManifest& relocation) {
  if (!finishedReturnOf(records(context_.paths), relocation)) {
    if (auto aside = setLinksAside(relocation); !aside) return aside;
    if (movesCommand(context_, "revert", relocation.id) != 0) {
      // The links go back, so every path works again from the drive.
      const fs::path aside = setAsidePathOf(relocation.src);
      if (!present(relocation.src) && present(aside)) (void)renamePath(aside, relocation.src);
      return fail(Errc::kToolFailed, relocation.src +
                                         " could not be moved back; it is still on the drive "
                                         "and its path leads there as before.");
    }
    stopPoint("homecoming:returned");
  }
  return removeSetAside(relocation);
}

}  // namespace brimvale::app
