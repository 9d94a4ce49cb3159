#include "mover/relocated_items_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/guarded_removal.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
#include "common/base/text_formats.h"
#include "common/state/configured_drive.h"
#include "common/state/path_policy.h"
#include "mover/link_census.h"
#include "mover/verification.h"
#include "platform/byte_count_format.h"

namespace brimvale::mover {
namespace fs = std::filesystem;

std::string MoveBackError::message() const {
  switch (kind) {
    case Kind::kNotEnoughSpace:
      return "Not enough space on the internal disk to move this back. Need " +
             platform::formatFileByteCount(required) + ", have " +
             platform::formatFileByteCount(available) + ".";
    case Kind::kParentMissing:
      return "The original parent folder doesn't exist anymore: " + path +
             ". The Move Files window can place the data anywhere you'd like — open it instead.";
    case Kind::kLinkNotRemoved: return "Couldn't remove the existing symlink at " + path + ".";
    case Kind::kCopyNotAccessible:
      return "The NVMe copy at " + path + " isn't accessible. Make sure the drive is mounted.";
    case Kind::kDriveNotConnected:
      return "NVMe drive isn't connected. Connect the drive and try again.";
    case Kind::kNoRsync:
      return "GNU rsync 3.x isn't available. Reinstall Brimvale (the rsync binary ships inside the "
             "app bundle).";
    case Kind::kAlreadyRunning:
      return "This folder is already being moved back. Nothing else was changed; wait for that "
             "move back to finish.";
    case Kind::kRefused: return path;
  }
  return path;
}

std::string DeleteError::message() const {
  switch (kind) {
    case Kind::kNotBroken:
      return "Delete is only available for broken relocations (orphaned, missing, or empty).";
    case Kind::kOnlyCopy:
      return "Nothing links to the copy at " + path +
             " any more, so it is the only copy of this folder and Brimvale did not delete it. "
             "Your data is safe there; move it back instead.";
    case Kind::kDriveAbsent:
      return "The drive isn't connected at " + path +
             ", so the copy on it may only be out of reach. Nothing was deleted; connect the "
             "drive and look again.";
    case Kind::kStepsFailed: {
      std::string list;
      for (const auto& step : failedSteps) list += (list.empty() ? "" : ", ") + step;
      return "Some cleanup steps failed: " + list;
    }
  }
  return "";
}

namespace {

bool somethingAt(const fs::path& path) {
  const auto status = linkStatus(path);
  return status && fs::exists(*status);
}

bool isLink(const fs::path& path) {
  const auto status = linkStatus(path);
  return status && fs::is_symlink(*status);
}

std::int64_t freeBytesAt(const fs::path& path) {
  struct statvfs vfs {};
  if (statvfs(path.c_str(), &vfs) != 0) return 0;
  return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
}

// Each path once, however it was written.
std::string standardisedPath(const std::string& path) {
  return normalisedAbsolute(path).value_or(fs::path(path)).string();
}

}  // namespace

RelocatedItemsStore::RelocatedItemsStore(RelocatedStoreEnvironment env)
    : env_(std::move(env)), manifests_(env_.paths.state, {}, systemClock()) {}

bool RelocatedItemsStore::onUnmountedDrive(const fs::path& copy, const fs::path& mount) const {
  // With no drive known, any copy may be on it.
  if (mount.empty()) return true;
  const auto normalCopy = normalisedAbsolute(copy.string());
  if (!normalCopy || !isStrictlyInside(*normalCopy, mount.lexically_normal())) return false;
  return !(env_.isMounted ? env_.isMounted(mount) : fs::is_directory(mount));
}

fs::path RelocatedItemsStore::mountPath() const {
  return configuredDrive(env_.paths).value_or(fs::path());
}

fs::path RelocatedItemsStore::workingFolder() const {
  const fs::path mount = mountPath();
  return mount.empty() ? mount : workingFolderFor(mount, env_.computerName);
}

void RelocatedItemsStore::refresh() {
  const fs::path working = workingFolder();
  std::vector<RelocatedItem> items;
  std::set<std::string> sources;
  const std::vector<MoveManifest> all = manifests_.all();
  for (const auto& m : all) {
    if (m.phase != MovePhase::kDone || !m.replaceSourceWithSymlink ||
        m.triggerSource != MoveTriggerSource::kUserMove) {
      continue;
    }
    // A move back that finished in a run stopped before it could forget the relocation. Record
    // times are whole seconds, so a newer relocation of the same folder may share the second of
    // the move back before it: the record goes only once nothing at home leads into the copy.
    if (std::any_of(all.begin(), all.end(),
                    [&](const MoveManifest& back) {
                      return back.phase == MovePhase::kDone && !back.replaceSourceWithSymlink &&
                             back.src == m.finalDst && back.startedAt >= m.startedAt;
                    }) &&
        !anythingLeadsInto(m.src, m.finalDst)) {
      manifests_.remove(m.id);
      continue;
    }
    if (!sources.insert(standardisedPath(m.src)).second) continue;
    items.push_back({m, classify(m, working), false});
  }
  ScanResult scan =
      discoverRelocations({mountPath(), working, env_.paths.home, env_.isMounted, env_.scanBudget});
  for (auto& found : scan.items) {
    if (sources.insert(standardisedPath(found.manifest.src)).second)
      items.push_back(std::move(found));
  }
  items_ = std::move(items);
  lastScanDiagnostic_ = scan.diagnostic;
}

const RelocatedItem* RelocatedItemsStore::find(std::string_view idPrefix) const {
  const std::string prefix = asciiUpper(idPrefix);
  const RelocatedItem* found = nullptr;
  for (const auto& item : items_) {
    if (prefix.empty() || !item.manifest.id.starts_with(prefix)) continue;
    if (found) return nullptr;
    found = &item;
  }
  return found;
}

std::expected<std::string, MoveBackError> RelocatedItemsStore::moveBack(
    LocalFolderMover& mover, const RelocatedItem& item, bool overwriteWithDriveCopy) {
  using Kind = MoveBackError::Kind;
  const MoveManifest& m = item.manifest;
  if (moveBackInProgress_.contains(m.id))
    return std::unexpected(MoveBackError{Kind::kAlreadyRunning});
  if (!mover.hasGnuRsync()) return std::unexpected(MoveBackError{Kind::kNoRsync});
  const fs::path copy(m.finalDst), src(m.src);
  if (onUnmountedDrive(copy, mover.mountPath()))
    return std::unexpected(MoveBackError{Kind::kDriveNotConnected});
  if (!somethingAt(copy))
    return std::unexpected(MoveBackError{Kind::kCopyNotAccessible, 0, 0, m.finalDst});
  const fs::path parent = src.parent_path();
  if (!isDirectory(parent).value_or(false))
    return std::unexpected(MoveBackError{Kind::kParentMissing, 0, 0, parent.string()});
  const std::int64_t required = apparentSizeKB(copy).value_or(m.srcSizeKB) * 1024;
  const std::int64_t available = freeBytesAt(parent);
  if (required > available)
    return std::unexpected(MoveBackError{Kind::kNotEnoughSpace, required, available});

  // A move back that a stopped run left unfinished continues: a second copy
  // into the same place would race it. Its link, if it had one, is gone already.
  for (const auto& job : mover.jobs()) {
    if (isTerminal(job.phase) || job.src != m.finalDst) continue;
    moveBackInProgress_.insert(m.id);
    std::optional<fs::path> link;
    if (!leadsInto(src, copy)) link = copy;
    reverseJobMap_[job.id] = {item, link};
    return job.id;
  }
  // The copy goes back in place of a link; a folder of per-file links stays
  // and has the copy merged over its links.
  std::optional<fs::path> linkTarget;
  if (isLink(src)) {
    auto target = readSymlink(src);
    if (!target || !removePath(src))
      return std::unexpected(MoveBackError{Kind::kLinkNotRemoved, 0, 0, m.src});
    linkTarget = *target;
  }
  const auto rule = somethingAt(src) ? MoveTarget::Rule::kAsNamed : MoveTarget::Rule::kClaimExact;
  auto queued = mover.moveCopyBack(
      m, overwriteWithDriveCopy ? MoveConflictPolicy::kMerge : MoveConflictPolicy::kMergeKeepNewer,
      rule);
  if (!queued) {
    std::string refusal = queued.error();
    if (linkTarget) {
      if (auto linked = createDirectorySymlink(*linkTarget, src); !linked) {
        refusal += " The link at " + m.src + " couldn't be put back (" + linked.error().message() +
                   "). Your data is safe at " + m.finalDst +
                   "; run the move back again to bring it home.";
      }
    }
    return std::unexpected(MoveBackError{Kind::kRefused, 0, 0, refusal});
  }
  moveBackInProgress_.insert(m.id);
  reverseJobMap_[*queued] = {item, linkTarget};
  return *queued;
}

std::optional<MoveBackEnd> RelocatedItemsStore::moveBackEnded(const MoveManifest& reverseJob) {
  using Kind = MoveBackEnd::Kind;
  auto it = reverseJobMap_.find(reverseJob.id);
  if (it == reverseJobMap_.end() || !isTerminal(reverseJob.phase)) return std::nullopt;
  const PendingMoveBack pending = std::move(it->second);
  reverseJobMap_.erase(it);
  moveBackInProgress_.erase(pending.item.manifest.id);
  const fs::path src(pending.item.manifest.src), copy(pending.item.manifest.finalDst);
  // A move back whose record could not be written may still have ended with
  // everything home: then the copy is gone and only the records lag behind.
  if (reverseJob.phase == MovePhase::kDone ||
      (!somethingAt(copy) && somethingAt(src) && !leadsInto(src, copy))) {
    if (!pending.item.discovered) manifests_.remove(pending.item.manifest.id);
    const auto left = manifests_.all();
    const bool forgotten = std::none_of(left.begin(), left.end(), [&](const MoveManifest& r) {
      return r.id == pending.item.manifest.id;
    });
    refresh();
    return MoveBackEnd{forgotten && reverseJob.phase == MovePhase::kDone ? Kind::kBroughtHome
                                                                         : Kind::kHomeUnrecorded,
                       {}};
  }
  if (!pending.linkTarget) return MoveBackEnd{Kind::kRelocationKept, {}};
  if (somethingAt(src)) {
    // What the stopped copy brought back goes only where the drive holds it
    // as is: anything else may be a file written there meanwhile.
    const GuardedRemoval removal = removeVerifiedTree(src, copy, ReplaceGuard());
    if (!removal.changed.empty() || !removal.unmatched.empty())
      return MoveBackEnd{Kind::kPartialLeft, removal.leftBehind().front()};
    if (!removal.complete()) return MoveBackEnd{Kind::kLinkNotRestored, removal.failed.front()};
  }
  if (auto linked = createDirectorySymlink(*pending.linkTarget, src); !linked)
    return MoveBackEnd{Kind::kLinkNotRestored, linked.error().message()};
  return MoveBackEnd{Kind::kLinkRestored, {}};
}

namespace {

// Clears Brimvale's dangling links at and below `name` of the open folder
// `parent` (`path` as shown) of a broken relocation: links into `working`
// whose target is gone, and the folders they leave empty. Works through
// descriptors, so a folder swapped for a link meanwhile is never followed.
// True when the entry itself was removed.
bool clearDanglingLinks(int parent, const std::string& name, const fs::path& path,
                        const fs::path& working, DeleteOutcome& out) {
  struct stat st {};
  if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    std::array<char, 4096> buf{};
    const ssize_t n = readlinkat(parent, name.c_str(), buf.data(), buf.size() - 1);
    const std::string target = n > 0 ? std::string(buf.data(), static_cast<std::size_t>(n)) : "";
    const auto resolved =
        target.starts_with("/") ? normalisedAbsolute(target) : std::optional<fs::path>();
    struct stat there {};
    const bool ours = resolved && isStrictlyInside(*resolved, working);
    if (!ours || lstat(resolved->c_str(), &there) == 0 || errno != ENOENT) {
      out.kept.push_back(path.string());
      return false;
    }
    if (unlinkat(parent, name.c_str(), 0) != 0) {
      out.left.push_back(path.string() + ": " + std::strerror(errno));
      return false;
    }
    out.removed.push_back(path.string());
    stopPoint("relocated:link-removed");
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    out.kept.push_back(path.string());
    return false;
  }
  OpenFolder folder(parent, name);
  auto entries = folder.entries();
  if (!entries) {
    out.left.push_back(path.string() + ": " + std::strerror(errno));
    return false;
  }
  std::sort(entries->begin(), entries->end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  bool allRemoved = !entries->empty();  // a folder that was empty is the user's
  for (const auto& e : *entries)
    allRemoved = clearDanglingLinks(folder.fd(), e.name, path / e.name, working, out) && allRemoved;
  // Only a folder our links left empty goes; rmdir never takes anything new in it.
  if (!allRemoved || unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) return false;
  out.removed.push_back(path.string());
  return true;
}

}  // namespace

std::expected<DeleteOutcome, DeleteError> RelocatedItemsStore::deleteBroken(
    const RelocatedItem& item) {
  using Kind = DeleteError::Kind;
  const MoveManifest& m = item.manifest;
  if (!isBroken(item.integrity)) return std::unexpected(DeleteError{Kind::kNotBroken});
  if (item.integrity == Integrity::kNoSymlink)
    return std::unexpected(DeleteError{Kind::kOnlyCopy, m.finalDst});
  const fs::path copy(m.finalDst), src(m.src), working = workingFolder();
  const fs::path mount = mountPath();
  if (onUnmountedDrive(copy, mount))
    return std::unexpected(DeleteError{Kind::kDriveAbsent, mount.string()});
  DeleteOutcome out;
  std::vector<std::string>& failed = out.failedSteps;
  if (somethingAt(copy)) {
    // An empty copy: only a file manager's ".DS_Store" goes with it, and
    // rmdir keeps anything written into it since.
    if (auto refusal =
            wipeRefusal(m.finalDst, WorkingFolderRule::kRequired, env_.paths.home, working)) {
      failed.push_back("NVMe path (" + *refusal + ")");
    } else if ((void)::unlink((copy / ".DS_Store").c_str()); ::rmdir(copy.c_str()) != 0) {
      failed.push_back("NVMe path (" + std::string(std::strerror(errno)) + ")");
    }
  }
  const auto before = identityAt(AT_FDCWD, src.string());
  if (OpenFolder parent(src.parent_path().string()); parent.isOpen()) {
    (void)clearDanglingLinks(parent.fd(), src.filename().string(), src,
                             normalisedAbsolute(working.string()).value_or(working), out);
  }
  // The folder must still be the one that was cleared: one moved away or
  // replaced meanwhile may hold links of ours that were never looked at.
  const auto after = identityAt(AT_FDCWD, src.string());
  if (before && after && (before->device != after->device || before->inode != after->inode))
    out.left.push_back(src.string() + ": it was moved or replaced while it was being cleared");
  const fs::path ownRoot = normalisedAbsolute(working.string()).value_or(working);
  const auto census = takeLinkCensus(src, {ownRoot});
  const bool oursLeft = !census || census->incomplete ? somethingAt(src) : census->linksInto[0] > 0;
  if (out.left.empty() && !oursLeft) {
    if (!item.discovered) manifests_.remove(m.id);
    const auto left = manifests_.all();
    out.recordRemoved =
        std::none_of(left.begin(), left.end(), [&](const MoveManifest& r) { return r.id == m.id; });
  }
  for (const auto& l : out.left) failed.push_back("Source symlink (" + l + ")");
  refresh();
  return out;
}

}  // namespace brimvale::mover
