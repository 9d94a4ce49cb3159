#include "relocated/folder_homecoming.h"

#include <fcntl.h>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/guarded_removal.h"
#include "common/base/process.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
#include "common/base/uuid.h"
#include "common/base/walk_below.h"
#include "common/state/configured_drive.h"
#include "common/state/path_policy.h"
#include "mover/link_census.h"
#include "mover/relocated_item.h"
#include "mover/verification.h"

namespace brimvale::relocated {
namespace fs = std::filesystem;
using mover::MoveManifest;
using mover::MovePhase;

namespace {

constexpr std::string_view kSetAsideSuffix = ".brimvale-links";
constexpr std::string_view kStagingSuffix = ".brimvale-returning";
// An empty folder in the copy home once it compared equal: it stays with the
// copy through the swap, so an interrupted run can tell which side is which.
constexpr std::string_view kStagedMarker = ".brimvale-staged";
constexpr std::chrono::hours kHomecomingCopyLimit{6};

bool onDrive(const std::string& path, const fs::path& mount) {
  const auto p = normalisedAbsolute(path);
  return p && (*p == mount || isStrictlyInside(*p, mount));
}

std::vector<MoveManifest> records(const StatePaths& paths) {
  return mover::ManifestStore(paths.state, {}, systemClock()).all();
}

// Something at `path` that is not a link: what a homecoming put there.
bool realEntry(const fs::path& path) {
  const fs::file_status status = linkStatus(path).value_or(fs::file_status{});
  return fs::exists(status) && !fs::is_symlink(status);
}

std::unexpected<Error> notWhatCameHome(const fs::path& home, const fs::path& kept) {
  return fail(Errc::kInvalidArgument,
              "Something other than the folder that came home is at " + home.string() +
                  " now, so nothing more was done there; " + kept.string() +
                  " stays as it is. Put the folder back at its path and run this again.");
}

}  // namespace

fs::path setAsidePathOf(const std::string& src) { return src + std::string(kSetAsideSuffix); }

fs::path stagingPathOf(const std::string& src) { return src + std::string(kStagingSuffix); }

const MoveManifest* finishedReturnOf(const std::vector<MoveManifest>& all,
                                     const MoveManifest& relocation) {
  const std::string parent = fs::path(relocation.src).parent_path().string();
  for (const auto& m : all) {
    // A return older than the relocation brought home an earlier one of the same folder. Record
    // times are whole seconds, so one of the same second counts only once nothing at home leads
    // into the copy any more.
    if (m.phase == MovePhase::kDone && !m.replaceSourceWithSymlink &&
        m.src == relocation.finalDst && m.dstParent == parent &&
        m.startedAt >= relocation.startedAt &&
        (m.startedAt > relocation.startedAt ||
         !mover::anythingLeadsInto(relocation.src, relocation.finalDst))) {
      return &m;
    }
  }
  return nullptr;
}

Result<void> StagedHomecoming::settleUnfinished() {
  const auto all = records(paths_);
  if (std::all_of(all.begin(), all.end(),
                  [](const MoveManifest& m) { return mover::isTerminal(m.phase); })) {
    return {};
  }
  // Which moves go towards the drive depends on where it is.
  const auto drive = configuredDrive(paths_);
  if (!drive) return fail(Errc::kUnavailable, driveUnknownMessage(drive.error(), paths_));
  const fs::path mount = *drive;
  for (const auto& m : all) {
    const bool towardsDrive = !onDrive(m.src, mount);
    if (mover::isTerminal(m.phase) || !towardsDrive || m.phase == MovePhase::kCleaningUp) continue;
    if (!unfinished_.cancel(m.id)) {
      return fail(Errc::kToolFailed, "The unfinished move of " + m.src +
                                         " could not be stopped; its original is still there.");
    }
  }
  if (!unfinished_.resume()) {
    return fail(Errc::kToolFailed,
                "An unfinished folder move did not end well; `brimvale moves` shows which.");
  }
  return {};
}

namespace {

// The folder `rel` below the open folder `rootFd`, opened one name at a time
// and never through a link, so nothing lands where a link planted meanwhile
// points; with `make`, missing folders are made. Null when it cannot be.
std::unique_ptr<OpenFolder> folderBelow(int rootFd, const fs::path& rel, bool make) {
  auto at = std::make_unique<OpenFolder>(rootFd, ".");
  for (const auto& part : rel) {
    const std::string name = part.string();
    if (name.empty() || name == ".") continue;
    if (make && ::mkdirat(at->fd(), name.c_str(), 0755) != 0 && errno != EEXIST) return nullptr;
    auto next = std::make_unique<OpenFolder>(at->fd(), name);
    if (!next->isOpen()) return nullptr;
    at = std::move(next);
  }
  return at->isOpen() ? std::move(at) : nullptr;
}

bool entryAt(int dirfd, const std::string& name) {
  struct stat st {};
  return ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// A new entry `to` in `toDir` holding what `from` in `fromDir` holds: a
// file's bytes, mode and modification time, or a link's target.
std::error_code copyEntryAt(int fromDir, const std::string& from, int toDir,
                            const std::string& to) {
  auto error = [] { return std::error_code(errno, std::generic_category()); };
  struct stat st {};
  if (::fstatat(fromDir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return error();
  if (S_ISLNK(st.st_mode)) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlinkat(fromDir, from.c_str(), target.data(), target.size());
    if (n < 0) return error();
    target.resize(static_cast<std::size_t>(n));
    return ::symlinkat(target.c_str(), toDir, to.c_str()) == 0 ? std::error_code() : error();
  }
  if (!S_ISREG(st.st_mode)) return std::make_error_code(std::errc::not_supported);
  const int in = ::openat(fromDir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return error();
  const int out = ::openat(toDir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           st.st_mode & 07777);
  std::error_code failed = out < 0 ? error() : std::error_code();
  char buffer[1 << 16];
  while (!failed) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) failed = error();
    if (n <= 0) break;
    for (ssize_t done = 0; !failed && done < n;) {
      const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
      if (w < 0) failed = error();
      done += w > 0 ? w : 0;
    }
  }
  const timespec times[2] = {st.st_atim, st.st_mtim};
  if (!failed && ::futimens(out, times) != 0) failed = error();
  ::close(in);
  if (out >= 0) ::close(out);
  if (failed && out >= 0) ::unlinkat(toDir, to.c_str(), 0);
  return failed;
}

// Puts the set-aside entry `rel` of `asideFd` at the same place below
// `homeFd`; what is there already (the drive's version, just brought back)
// first moves beside it under its kept name, which is returned. Nothing is
// ever replaced: a name taken meanwhile leaves the entry where it is.
Result<std::optional<fs::path>> putBack(int asideFd, int homeFd, const fs::path& rel,
                                        const fs::path& home) {
  const std::string name = rel.filename().string();
  const std::string keep = " " + rel.string() + " stays with what was set aside.";
  auto from = folderBelow(asideFd, rel.parent_path(), false);
  auto to = folderBelow(homeFd, rel.parent_path(), true);
  if (!from || !to) {
    return fail(Errc::kIo, "No folder could be made for it at home." + keep +
                               " Raw error: " + std::strerror(errno));
  }
  std::optional<fs::path> kept;
  if (entryAt(to->fd(), name)) {
    auto aside = keepAside(to->fd(), name);
    if (!aside) {
      return fail(Errc::kIo, "The drive's version of " + rel.string() +
                                 " could not be put beside it." + keep +
                                 " Raw error: " + aside.error().message());
    }
    kept = home / rel.parent_path() / *aside;
    stopPoint("homecoming:kept-aside");
  }
  if (::renameat2(from->fd(), name.c_str(), to->fd(), name.c_str(), RENAME_NOREPLACE) != 0) {
    return fail(Errc::kIo, rel.string() + " could not take its place at home." + keep +
                               " Raw error: " + std::strerror(errno));
  }
  return kept;
}

}  // namespace

Result<std::vector<fs::path>> settleSetAside(const fs::path& aside, const fs::path& home,
                                             const fs::path& copy) {
  std::vector<fs::path> kept;
  if (!entryPresent(aside)) return kept;
  const OpenFolder homeFolder(home.string());
  if (!homeFolder.isOpen()) return notWhatCameHome(home, aside);
  // The links the relocation left are Brimvale's own: they hold no data.
  const mover::LinksInto links = mover::linksInto(aside, copy);
  for (const auto& link : links.links) {
    if (auto removed = removePath(link.link); !removed) {
      return fail(Errc::kIo, home.string() + " is home; its old link " + link.link.string() +
                                 " could not be removed. Raw error: " + removed.error().detail);
    }
  }
  stopPoint("homecoming:links-removed");
  if (!entryPresent(aside)) return kept;
  const OpenFolder asideFolder(aside.string());
  if (!asideFolder.isOpen()) {
    return fail(Errc::kInvalidArgument, home.string() + " is home, but " + aside.string() +
                                            " is not a folder Brimvale set aside; it stays as "
                                            "it is.");
  }
  // What is the same at home goes; what is not (a file written in place of
  // its link, or written since) takes its place at home.
  (void)removeVerifiedTree(aside, home, ReplaceGuard{});
  std::vector<fs::path> rest;
  const WalkReport walk =
      walkBelow(aside, {.onError = OnReadError::kStop}, [&](const WalkEntry& e) {
        if (e.type != DT_DIR && e.type != DT_UNKNOWN)
          rest.push_back(e.path.lexically_relative(aside));
        return WalkStep::kContinue;
      });
  if (!walk.complete()) {
    return fail(Errc::kIo, home.string() + " is home, but " + aside.string() +
                               " could not be read to the end; it was kept. Raw error: " +
                               walk.firstError.message());
  }
  for (const fs::path& rel : rest) {
    auto back = putBack(asideFolder.fd(), homeFolder.fd(), rel, home);
    if (!back) {
      return fail(Errc::kIo, home.string() +
                                 " is home, but a file written there in place of "
                                 "its link could not take its place again: " +
                                 back.error().detail);
    }
    if (*back) kept.push_back(**back);
  }
  const GuardedRemoval emptied = removeVerifiedTree(aside, home, ReplaceGuard{});
  if (!emptied.complete()) {
    return fail(Errc::kIo, home.string() + " is home, but " + aside.string() + " still holds " +
                               std::to_string(emptied.leftBehind().size()) +
                               " item(s) written there meanwhile; it was kept so nothing is "
                               "lost. Run this again to settle it.");
  }
  return kept;
}

Result<std::vector<fs::path>> removeCopyHome(const fs::path& copy, const fs::path& home) {
  std::vector<fs::path> kept;
  if (!entryPresent(copy)) return kept;
  const OpenFolder homeFolder(home.string());
  if (!homeFolder.isOpen()) return notWhatCameHome(home, copy);
  const ReplaceGuard guard({.alwaysCompareBytes = true});
  const GuardedRemoval same = removeVerifiedTree(copy, home, guard);
  std::vector<std::string> differing = same.changed;
  differing.insert(differing.end(), same.unmatched.begin(), same.unmatched.end());
  for (const fs::path rel : differing) {
    if (rel == ".") continue;
    const OpenFolder from((copy / rel.parent_path()).string());
    auto to = folderBelow(homeFolder.fd(), rel.parent_path(), true);
    const std::string name = rel.filename().string();
    struct stat st {};
    if (!from.isOpen() || !to ||
        ::fstatat(from.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) {
      continue;
    }
    // The drive's version is home already when a kept twin holds it (the
    // settling put it beside the version that stayed); else it comes home
    // beside its namesake. Either way it then goes from the drive.
    std::optional<std::string> twin;
    for (const auto& e : to->entries().value_or(std::vector<FolderEntry>{})) {
      if (e.name.starts_with(name + ".kept-") &&
          guard.check(from.fd(), name, to->fd(), e.name) == GuardVerdict::kSafe) {
        twin = e.name;
        break;
      }
    }
    if (!twin) {
      std::string candidate = keptAsideName(name, std::chrono::system_clock::now());
      for (int n = 2; entryAt(to->fd(), candidate); ++n) {
        candidate = keptAsideName(name, std::chrono::system_clock::now()) + "." + std::to_string(n);
      }
      if (copyEntryAt(from.fd(), name, to->fd(), candidate)) continue;
      kept.push_back(home / rel.parent_path() / candidate);
      twin = candidate;
    }
    if (guard.check(from.fd(), name, to->fd(), *twin) == GuardVerdict::kSafe)
      (void)::unlinkat(from.fd(), name.c_str(), 0);
  }
  const GuardedRemoval rest = removeVerifiedTree(copy, home, guard);
  if (!rest.complete()) {
    std::string left;
    for (const auto& rel : rest.leftBehind()) left += (left.empty() ? "" : ", ") + rel;
    return fail(Errc::kIo, home.string() + " is home, but its copy on the drive still holds what " +
                               "could not be brought beside it (" + left + "); it stays at " +
                               copy.string() + " so nothing is lost.");
  }
  stopPoint("homecoming:copy-removed");
  return kept;
}

Result<void> StagedHomecoming::stage(const MoveManifest& relocation) {
  const fs::path copy = relocation.finalDst, staging = stagingPathOf(relocation.src);
  const std::string keep = " Nothing was changed at " + relocation.src +
                           "; the folder stays on "
                           "the drive and its path leads there as before.";
  if (rsyncPath_.empty()) {
    return fail(Errc::kNotFound,
                "GNU rsync was not found, so " + relocation.src + " cannot be copied home." + keep);
  }
  if (!isDirectory(copy).value_or(false)) {
    return fail(Errc::kNotFound,
                "Its copy at " + copy.string() + " cannot be reached; connect the drive." + keep);
  }
  // A mark left by an earlier run is taken again only once this run has compared.
  if (entryPresent(staging / kStagedMarker)) {
    if (auto removed = removePath(staging / kStagedMarker); !removed) {
      return fail(Errc::kIo, "The mark of an earlier copy home could not be removed." + keep +
                                 " Raw error: " + removed.error().detail);
    }
  }
  if (!entryPresent(staging)) {
    if (auto made = createDirectory(staging); !made) {
      return fail(Errc::kIo, "No folder could be made to copy it home into." + keep +
                                 " Raw error: " + made.error().detail);
    }
  }
  // What changes on the drive meanwhile is copied again.
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    const ProcessResult r = run_({.path = rsyncPath_,
                                  .args = {"-aHX", copy.string() + "/", staging.string() + "/"},
                                  .deadline = kHomecomingCopyLimit});
    if (!r.succeeded()) {
      return fail(Errc::kToolFailed,
                  "Its copy could not be copied home." + keep + " Raw error: " + r.err);
    }
    stopPoint("homecoming:staged");
    const mover::CounterpartCheck check =
        mover::compareCounterparts(copy, staging, mover::MoveConflictPolicy::kMerge, {}, {});
    if (!check.srcDigest || !check.dstDigest || !check.differing.empty()) continue;
    if (auto marked = createDirectory(staging / kStagedMarker); !marked) {
      return fail(Errc::kIo, "The copy home could not be marked complete." + keep +
                                 " Raw error: " + marked.error().detail);
    }
    return {};
  }
  return fail(Errc::kInvalidArgument, "Its copy kept changing while it was copied home." + keep +
                                          " Quit the programs that use it and run this again.");
}

Result<void> StagedHomecoming::swapIn(const MoveManifest& relocation) {
  const fs::path src = relocation.src, aside = setAsidePathOf(relocation.src);
  const fs::path staging = stagingPathOf(relocation.src);
  const std::string keep =
      " The folder stays on the drive; its copy home is complete at " + staging.string() + ".";
  if (!entryPresent(src / kStagedMarker)) {
    if (!entryPresent(staging / kStagedMarker))
      return {};  // swapped and settled in by an earlier run
    // Only what the relocation left may give way: its link, or its folder of links.
    const fs::file_status status = linkStatus(src).value_or(fs::file_status{});
    if (fs::exists(status) && (fs::is_symlink(status) ? !mover::leadsInto(src, relocation.finalDst)
                                                      : !fs::is_directory(status))) {
      return fail(Errc::kInvalidArgument,
                  "Something else is at " + src.string() +
                      " now, not what the relocation left there, so it was not touched." + keep);
    }
    if (entryPresent(aside)) {
      return fail(Errc::kInvalidArgument, aside.string() + " is in the way." + keep +
                                              " Move it elsewhere and run this again.");
    }
    // One step, so the path never stands empty: what stood there takes the copy's name.
    const unsigned flags = fs::exists(status) ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, src.c_str(), flags) != 0) {
      return fail(Errc::kIo, "The copy could not take its path." + keep +
                                 " Raw error: " + std::strerror(errno));
    }
    stopPoint("homecoming:swapped");
  }
  if (entryPresent(staging)) {
    if (entryPresent(aside)) {
      return fail(Errc::kInvalidArgument, src.string() + " is home, but " + aside.string() +
                                              " is in the way of what "
                                              "stood there, which waits at " +
                                              staging.string() +
                                              ". Move it elsewhere and run this again.");
    }
    if (auto renamed = renamePath(staging, aside); !renamed) {
      return fail(Errc::kIo, src.string() + " is home; what stood there waits at " +
                                 staging.string() + ". Raw error: " + renamed.error().detail);
    }
    stopPoint("homecoming:set-aside");
  }
  bestEffort(removePath(src / kStagedMarker), DiagnosticsLog(paths_.diagnosticsLog),
             "removing the mark of the copy home");
  return {};
}

Result<void> StagedHomecoming::recordReturn(const MoveManifest& relocation) {
  MoveManifest back;
  back.id = newUuid();
  back.src = relocation.finalDst;
  back.dstParent = fs::path(relocation.src).parent_path().string();
  back.finalDst = relocation.src;
  back.phase = MovePhase::kDone;
  back.replaceSourceWithSymlink = false;
  back.startedAt = back.updatedAt = std::time(nullptr);
  back.completedAt = back.startedAt;
  mover::ManifestStore(paths_.state, {}, systemClock()).save(back);
  if (!finishedReturnOf(records(paths_), relocation)) {
    return fail(Errc::kIo, relocation.src +
                               " is home, but Brimvale could not record that, so "
                               "its copy stays on the drive for now. Make room in " +
                               paths_.state.string() + " and run this again.");
  }
  stopPoint("homecoming:recorded");
  return {};
}

Result<std::vector<fs::path>> StagedHomecoming::bringHome(const MoveManifest& relocation) {
  const fs::path src = relocation.src, aside = setAsidePathOf(relocation.src);
  if (!finishedReturnOf(records(paths_), relocation)) {
    // An earlier run may have swapped the copy in already.
    const fs::path staging = stagingPathOf(relocation.src);
    const bool swapped = entryPresent(src / kStagedMarker) ||
                         (entryPresent(aside) && realEntry(src) && !entryPresent(staging));
    if (!swapped) {
      if (auto staged = stage(relocation); !staged) return std::unexpected(staged.error());
    }
    if (auto in = swapIn(relocation); !in) return std::unexpected(in.error());
    if (auto recorded = recordReturn(relocation); !recorded) {
      return std::unexpected(recorded.error());
    }
  }
  // Settled first: the drive's versions it puts beside the ones that stay
  // are then what the copy's removal finds at home.
  auto kept = settleSetAside(aside, src, relocation.finalDst);
  if (!kept) return kept;
  auto removed = removeCopyHome(relocation.finalDst, src);
  if (!removed) return removed;
  kept->insert(kept->end(), removed->begin(), removed->end());
  return kept;
}

}  // namespace brimvale::relocated
