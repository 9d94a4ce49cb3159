#include "mover/homecoming_cleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/stop_point.h"
#include "common/state/path_policy.h"
#include "mover/relink.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

std::optional<struct stat> statAt(int dirfd, const std::string& name) {
  struct stat st {};
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

// Moves `name` of `fromFd` into `toFd` under a free "<base>.kept-<stamp>"
// name, never replacing anything; the name it got, or nothing.
std::optional<std::string> moveBeside(int fromFd, const std::string& name, int toFd,
                                      const std::string& base) {
  const std::string stamped = keptAsideName(base, std::chrono::system_clock::now());
  for (int n = 1; n < 1000; ++n) {
    const std::string candidate = n == 1 ? stamped : stamped + "." + std::to_string(n);
    if (renameat2(fromFd, name.c_str(), toFd, candidate.c_str(), RENAME_NOREPLACE) == 0)
      return candidate;
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

// Writes the bytes, mode and modification time of the regular file `name`
// of `fromFd` (stat `st`) to the new file `temp` of `toFd`; nothing is left
// under `temp` when it fails.
bool copyFileTo(int fromFd, const std::string& name, const struct stat& st, int toFd,
                const std::string& temp) {
  Fd in{openat(fromFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  Fd out{openat(toFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                st.st_mode & 07777)};
  if (in.fd < 0 || out.fd < 0) {
    if (out.fd >= 0) unlinkat(toFd, temp.c_str(), 0);
    return false;
  }
  constexpr std::size_t kChunk = 1 << 20;
  auto buf = std::make_unique<char[]>(kChunk);
  bool ok = true;
  for (;;) {
    const ssize_t n = read(in.fd, buf.get(), kChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = write(out.fd, buf.get() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      done += w > 0 ? w : 0;
    }
    if (!ok) break;
  }
  const std::array<struct timespec, 2> times{st.st_atim, st.st_mtim};
  ok = ok && fchmod(out.fd, st.st_mode & 07777) == 0 && futimens(out.fd, times.data()) == 0 &&
       fsync(out.fd) == 0;
  if (!ok) unlinkat(toFd, temp.c_str(), 0);
  return ok;
}

// A copy of the file or link `name` of `fromFd` in `toFd` under a free
// "<name>.kept-<stamp>" name, with its bytes, mode and modification time.
std::optional<std::string> copyBeside(int fromFd, const std::string& name, int toFd) {
  const auto st = statAt(fromFd, name);
  if (!st) return std::nullopt;
  const std::string temp = temporaryLinkName();
  if (S_ISLNK(st->st_mode)) {
    if (symlinkat(linkTargetAt(fromFd, name).c_str(), toFd, temp.c_str()) != 0) return std::nullopt;
  } else if (!S_ISREG(st->st_mode) || !copyFileTo(fromFd, name, *st, toFd, temp)) {
    return std::nullopt;  // a device or a pipe is never copied
  }
  auto kept = moveBeside(toFd, temp, toFd, name);
  if (!kept) unlinkat(toFd, temp.c_str(), 0);
  return kept;
}

// Opens the folder `rel` below `root`, one component at a time and never
// through a link (a link put in place of a folder must not carry a kept
// version elsewhere), creating missing folders when asked; -1 when it cannot.
int openBelow(const fs::path& root, const std::string& rel, bool create) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  for (const auto& part : fs::path(rel)) {
    if (fd < 0 || part.empty() || part == ".") continue;
    int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create && mkdirat(fd, part.c_str(), 0755) == 0)
      next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  return fd;
}

std::string parentOf(const std::string& rel) {
  const auto slash = rel.rfind('/');
  return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}
std::string nameOf(const std::string& rel) {
  const auto slash = rel.rfind('/');
  return slash == std::string::npos ? rel : rel.substr(slash + 1);
}
std::string joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

class Homecoming {
 public:
  Homecoming(const fs::path& driveCopy, const fs::path& home, HomePath which,
             const ReplaceGuard& guard, FileOperations& files, HomecomingCleanup& out)
      : driveCopy_(driveCopy),
        home_(home),
        which_(which),
        guard_(guard),
        files_(files),
        out_(out) {}

  // Every entry the copy tool moved out of the way into the open folder
  // `dir`, which stands for the folder `rel` of the home copy.
  void settleDisplaced(int dir, const std::string& rel) {
    for (const FolderEntry& e :
         OpenFolder(dir, ".").entries().value_or(std::vector<FolderEntry>{})) {
      const auto st = statAt(dir, e.name);
      if (!st) continue;
      const std::string path = joined(rel, e.name);
      if (S_ISDIR(st->st_mode)) {
        OpenFolder sub(dir, e.name);
        if (sub.isOpen()) settleDisplaced(sub.fd(), path);
        unlinkat(dir, e.name.c_str(), AT_REMOVEDIR);  // only once emptied
        continue;
      }
      if (S_ISLNK(st->st_mode) && ownLink(linkTargetAt(dir, e.name))) {
        (void)files_.unlinkAt(dir, e.name);  // a link left behind still leads to the copy
        continue;
      }
      Fd homeDir{openBelow(home_, rel, true)};
      if (homeDir.fd < 0) continue;  // stays displaced: still there, never lost
      keepDisplaced(dir, e.name, homeDir.fd, path);
    }
  }

  // A drive entry the guard left: kept beside its home counterpart, then removed.
  void keepDriveVersion(const std::string& rel) {
    const std::string folder = rel == "." ? std::string() : parentOf(rel);
    const std::string name = rel == "." ? driveCopy_.filename().string() : nameOf(rel);
    Fd driveDir{rel == "."
                    ? open(driveCopy_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                    : openBelow(driveCopy_, folder, false)};
    Fd homeDir{rel == "." ? open(home_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                          : openBelow(home_, folder, true)};
    if (driveDir.fd < 0 || homeDir.fd < 0) return;
    const auto st = statAt(driveDir.fd, name);
    if (!st || S_ISDIR(st->st_mode)) return;
    const std::string homeName = rel == "." ? home_.filename().string() : name;
    std::optional<std::string> kept = alreadyKept(driveDir.fd, name, homeDir.fd, homeName);
    if (!kept) kept = copyBeside(driveDir.fd, name, homeDir.fd);
    if (!kept) return;
    // Renamed to carry the home name: what it is kept beside.
    if (!kept->starts_with(homeName + ".kept-")) {
      if (auto renamed = moveBeside(homeDir.fd, *kept, homeDir.fd, homeName)) kept = renamed;
    }
    out_.keptBeside.push_back(joined(folder, *kept));
    stopPoint("mover:kept-beside");
    if (guard_.check(driveDir.fd, name, homeDir.fd, *kept) == GuardVerdict::kSafe)
      (void)files_.unlinkAt(driveDir.fd, name);
  }

 private:
  bool ownLink(const std::string& target) const {
    const auto t = normalisedAbsolute(target);
    const auto copy = normalisedAbsolute(driveCopy_.string());
    return target.starts_with("/") && t && copy && (*t == *copy || isStrictlyInside(*t, *copy));
  }

  // `name` of `fromFd` was at home and the copy replaced it.
  void keepDisplaced(int fromFd, const std::string& name, int homeFd, const std::string& rel) {
    const auto atHome = statAt(homeFd, name);
    if (!atHome) {
      // Nothing took its place (the copy put a folder elsewhere, or it was removed).
      if (renameat2(fromFd, name.c_str(), homeFd, name.c_str(), RENAME_NOREPLACE) == 0) return;
    } else if (which_ == HomePath::kHomeVersion && !S_ISDIR(atHome->st_mode) &&
               sameAsDrive(homeFd, name, rel)) {
      // The home version goes back to its path; the drive's goes beside it.
      if (renameat2(fromFd, name.c_str(), homeFd, name.c_str(), RENAME_EXCHANGE) != 0) return;
    }
    if (auto kept = moveBeside(fromFd, name, homeFd, name))
      out_.keptBeside.push_back(joined(parentOf(rel), *kept));
  }

  // The entry at home is still the drive's version the copy put there.
  bool sameAsDrive(int homeFd, const std::string& name, const std::string& rel) const {
    Fd driveDir{openBelow(driveCopy_, parentOf(rel), false)};
    return driveDir.fd >= 0 && guard_.check(homeFd, name, driveDir.fd, name) == GuardVerdict::kSafe;
  }

  // A version kept beside the home file on an earlier run that matches the drive's.
  std::optional<std::string> alreadyKept(int driveFd, const std::string& name, int homeFd,
                                         const std::string& homeName) const {
    for (const FolderEntry& e :
         OpenFolder(homeFd, ".").entries().value_or(std::vector<FolderEntry>{})) {
      if (!e.name.starts_with(homeName + ".kept-")) continue;
      if (guard_.check(driveFd, name, homeFd, e.name) == GuardVerdict::kSafe) return e.name;
    }
    return std::nullopt;
  }

  fs::path driveCopy_, home_;
  HomePath which_;
  const ReplaceGuard& guard_;
  FileOperations& files_;
  HomecomingCleanup& out_;
};

// The file a relocation link's `target` leads to, when it is inside `driveCopy`.
bool leadsInto(const std::string& target, const fs::path& driveCopy) {
  const auto t = normalisedAbsolute(target);
  const auto copy = normalisedAbsolute(driveCopy.string());
  return target.starts_with("/") && t && copy && isStrictlyInside(*t, *copy);
}

// Each link of the open folder `dir` and its folders into `driveCopy` that
// leads to a file trades places, in one rename, with a copy of that file put
// together in the open folder `incoming`; the link is then dropped.
void replaceLinksIn(int dir, const fs::path& driveCopy, int incoming, bool top,
                    std::size_t& replaced) {
  for (const FolderEntry& e : OpenFolder(dir, ".").entries().value_or(std::vector<FolderEntry>{})) {
    if (top && e.name.starts_with(".brimvale-")) continue;  // Brimvale's own folders
    const auto st = statAt(dir, e.name);
    if (!st) continue;
    if (S_ISDIR(st->st_mode)) {
      if (OpenFolder sub(dir, e.name); sub.isOpen())
        replaceLinksIn(sub.fd(), driveCopy, incoming, false, replaced);
      continue;
    }
    const std::string target = S_ISLNK(st->st_mode) ? linkTargetAt(dir, e.name) : std::string();
    if (target.empty() || !leadsInto(target, driveCopy)) continue;
    const fs::path to(target);
    Fd from{open(to.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    const auto file = from.fd < 0 ? std::nullopt : statAt(from.fd, to.filename().string());
    const std::string temp = temporaryLinkName();
    if (!file || !S_ISREG(file->st_mode) ||
        !copyFileTo(from.fd, to.filename().string(), *file, incoming, temp))
      continue;  // left to the copy tool
    if (renameat2(incoming, temp.c_str(), dir, e.name.c_str(), RENAME_EXCHANGE) != 0) {
      unlinkat(incoming, temp.c_str(), 0);
      continue;
    }
    // What came out must be the link that was there; anything written in its
    // place meanwhile goes back to its path.
    const auto out = statAt(incoming, temp);
    if (!out || !S_ISLNK(out->st_mode) || linkTargetAt(incoming, temp) != target) {
      if (renameat2(incoming, temp.c_str(), dir, e.name.c_str(), RENAME_EXCHANGE) == 0)
        unlinkat(incoming, temp.c_str(), 0);
      continue;
    }
    unlinkat(incoming, temp.c_str(), 0);
    ++replaced;
  }
}

}  // namespace

std::string incomingFolderName(const std::string& jobId) {
  return ".brimvale-incoming-" + jobId.substr(0, 8);
}

std::optional<std::size_t> prepareHomecoming(const fs::path& driveCopy, const fs::path& home,
                                             const std::string& incoming) {
  if (mkdir(home.c_str(), 0755) != 0 && errno != EEXIST) return std::nullopt;
  Fd homeFd{openBelow(home, "", false)};
  if (homeFd.fd < 0) return std::nullopt;
  if (mkdirat(homeFd.fd, incoming.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
  OpenFolder staging(homeFd.fd, incoming);
  if (!staging.isOpen()) return std::nullopt;
  std::size_t replaced = 0;
  replaceLinksIn(homeFd.fd, driveCopy, staging.fd(), true, replaced);
  return replaced;
}

std::string displacedFolderName(const std::string& jobId) {
  return ".brimvale-replaced-" + jobId.substr(0, 8);
}

HomecomingCleanup cleanUpAfterHomecoming(const fs::path& driveCopy, const fs::path& home,
                                         const std::string& displaced, const std::string& incoming,
                                         HomePath which, const ReplaceGuard& guard,
                                         FileOperations& files) {
  HomecomingCleanup out;
  Homecoming homecoming(driveCopy, home, which, guard, files, out);
  // The home copy must be the folder (or file) the copy made, not a link put
  // in its place: nothing is removed or kept through one.
  struct stat st {};
  if (lstat(home.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) {
    out.removal.unmatched.push_back(".");
    return out;
  }
  if (Fd homeFd{openBelow(home, "", false)}; homeFd.fd >= 0 && S_ISDIR(st.st_mode)) {
    if (OpenFolder moved(homeFd.fd, displaced); moved.isOpen()) {
      homecoming.settleDisplaced(moved.fd(), "");
      unlinkat(homeFd.fd, displaced.c_str(), AT_REMOVEDIR);
    }
  }
  if (Fd homeFd{openBelow(home, "", false)}; homeFd.fd >= 0 && S_ISDIR(st.st_mode))
    unlinkat(homeFd.fd, incoming.c_str(), AT_REMOVEDIR);  // only once empty
  GuardedRemoval first = removeVerifiedTree(driveCopy, home, guard, files);
  std::vector<std::string> left = first.changed;
  left.insert(left.end(), first.unmatched.begin(), first.unmatched.end());
  for (const std::string& rel : left) homecoming.keepDriveVersion(rel);
  // Again, for the folders the kept files held and what the first pass left.
  out.removal = removeVerifiedTree(driveCopy, home, guard, files);
  out.removal.removed += first.removed;
  // A version kept from the displaced folder is found again by the drive pass.
  std::sort(out.keptBeside.begin(), out.keptBeside.end());
  out.keptBeside.erase(std::unique(out.keptBeside.begin(), out.keptBeside.end()),
                       out.keptBeside.end());
  return out;
}

}  // namespace brimvale::mover
