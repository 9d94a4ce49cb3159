#include "mover/relink.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <tuple>
#include <unordered_set>

#include "common/base/best_effort.h"
#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/stop_point.h"
#include "common/state/path_policy.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTempPrefix = ".bvl-";
constexpr std::size_t kTempDigits = 12;
constexpr std::string_view kLegacyTempSuffix = ".brimvale-link";

enum class Relinked { kLinked, kChanged, kFailed };

// Replaces `name` in the open folder `dirfd` with a link to `target` in one
// rename, so a crash never leaves the name missing (at worst a spare
// temporary link beside the untouched file). `confirm` is asked right before
// the rename; anything but kSafe leaves the file as it is. `error` gets the
// reason of a failure.
Relinked replaceWithLink(const RelinkSeams& seams, int dirfd, const std::string& name,
                         const std::string& target, const std::function<GuardVerdict()>& confirm,
                         std::string& error) {
  std::string temp;
  for (int attempt = 0;; ++attempt) {
    temp = temporaryLinkName();
    const std::error_code made = seams.files.symlinkAt(target, dirfd, temp);
    if (!made) break;
    if (made != std::errc::file_exists || attempt == 7) {
      error = std::strerror(made.value());
      return Relinked::kFailed;
    }
  }
  const GuardVerdict last = confirm();
  std::error_code renamed;
  if (last == GuardVerdict::kSafe) renamed = seams.files.renameAt(dirfd, temp, name);
  if (last != GuardVerdict::kSafe || renamed) {
    // A spare link left here is removed by the next run (isRelinkLeftover).
    bestEffort(seams.files.unlinkAt(dirfd, temp), seams.diagnostics,
               "removing the temporary link " + temp);
  }
  if (last == GuardVerdict::kUnreadable) {
    error = "could not be read";
    return Relinked::kFailed;
  }
  if (last != GuardVerdict::kSafe) return Relinked::kChanged;
  if (renamed) {
    error = std::strerror(renamed.value());
    return Relinked::kFailed;
  }
  return Relinked::kLinked;
}

// A new file `to` in `toDir` with the bytes, mode and modification time of
// the file `from` in `fromDir`; false (and nothing left) when it cannot be.
bool copyFileBeside(int fromDir, const std::string& from, int toDir, const std::string& to) {
  struct stat st {};
  const int in = ::openat(fromDir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return false;
  const int out =
      ::fstat(in, &st) == 0 && S_ISREG(st.st_mode)
          ? ::openat(toDir, to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777)
          : -1;
  bool ok = out >= 0;
  std::array<char, 1 << 16> buffer{};
  while (ok) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      ok = w > 0;
      done += w > 0 ? w : 0;
    }
  }
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ok = ok && ::futimens(out, times) == 0 && ::fsync(out) == 0;
  ::close(in);
  if (out >= 0) ::close(out);
  if (!ok && out >= 0) ::unlinkat(toDir, to.c_str(), 0);
  return ok;
}

// Whether the copy's `copyName` was modified after the home file `name`.
bool copyIsNewer(int dirfd, const std::string& name, int copyFd, const std::string& copyName) {
  struct stat home {
  }, copy{};
  if (::fstatat(dirfd, name.c_str(), &home, AT_SYMLINK_NOFOLLOW) != 0 ||
      ::fstatat(copyFd, copyName.c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  return std::tie(copy.st_mtim.tv_sec, copy.st_mtim.tv_nsec) >
         std::tie(home.st_mtim.tv_sec, home.st_mtim.tv_nsec);
}

// Judges `name` of `dirfd` against `copyName` of `copyFd` and, when the guard
// allows, puts a link to `target` in its place.
Relinked guardedRelink(const RelinkSeams& seams, const ReplaceGuard& guard, int dirfd,
                       const std::string& name, int copyFd, const std::string& copyName,
                       const std::string& target, std::string& error) {
  if (copyFd < 0) return Relinked::kChanged;
  auto proof = guard.verify(dirfd, name, copyFd, copyName);
  // A copy again never takes an older file over a newer one under this
  // policy, so a file changed since the copy began is kept beside it too.
  if (!proof && proof.error() != GuardVerdict::kUnreadable && seams.keepNewerCopy &&
      copyIsNewer(dirfd, name, copyFd, copyName)) {
    // The drive's newer version stays the one the path leads to; the older
    // one goes beside it on the drive first, so neither is lost.
    const std::string kept = keptAsideName(copyName, std::chrono::system_clock::now());
    if (!copyFileBeside(dirfd, name, copyFd, kept)) return Relinked::kChanged;
    auto keptProof = guard.verify(dirfd, name, copyFd, kept);
    if (!keptProof) {
      ::unlinkat(copyFd, kept.c_str(), 0);
      return Relinked::kChanged;
    }
    return replaceWithLink(
        seams, dirfd, name, target,
        [&] { return guard.confirm(*keptProof, dirfd, name, copyFd, kept); }, error);
  }
  if (!proof && proof.error() == GuardVerdict::kUnreadable) {
    error = "could not be read";
    return Relinked::kFailed;
  }
  if (!proof) return Relinked::kChanged;
  return replaceWithLink(
      seams, dirfd, name, target,
      [&] { return guard.confirm(*proof, dirfd, name, copyFd, copyName); }, error);
}

// The guard's judgement made once the temporary link is there, right before
// the rename: a file judged by its stat alone is then looked at once, not
// twice; one whose bytes were read is confirmed unchanged afterwards.
Relinked relinkJudgedLast(const RelinkSeams& seams, const ReplaceGuard& guard, int dirfd,
                          const std::string& name, int copyFd, const std::string& copyName,
                          const std::string& target, std::string& error) {
  if (copyFd < 0) return Relinked::kChanged;
  return replaceWithLink(
      seams, dirfd, name, target,
      [&] {
        auto proof = guard.verify(dirfd, name, copyFd, copyName);
        if (!proof) return proof.error();
        return proof->byStatAlone ? GuardVerdict::kSafe
                                  : guard.confirm(*proof, dirfd, name, copyFd, copyName);
      },
      error);
}

// One source folder, relative to the source root ("" for the root).
struct RelinkFolder {
  std::string rel;
};

// The kind of `e` in the open folder `dirfd`, asking the file system when
// the listing does not say.
unsigned char entryType(int dirfd, const FolderEntry& e) {
  if (e.type != DT_UNKNOWN) return e.type;
  struct stat st {};
  if (fstatat(dirfd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  if (S_ISREG(st.st_mode)) return DT_REG;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISLNK(st.st_mode)) return DT_LNK;
  return DT_UNKNOWN;
}

// Tells the links into the copy that lead nowhere; the copy's normal form is
// worked out once for the whole tree, not once per link.
class CopyLinkJudge {
 public:
  explicit CopyLinkJudge(const fs::path& dst) : dst_(normalisedAbsolute(dst.string())) {}
  [[nodiscard]] bool leadsIntoCopy(const std::string& target) const {
    const auto t = normalisedAbsolute(target);
    return t && dst_ && (*t == *dst_ || isStrictlyInside(*t, *dst_));
  }
  // Whether nothing but a link (or nothing at all) is where `target` leads.
  [[nodiscard]] static bool copyMissing(const std::string& target) {
    struct stat st {};
    return lstat(target.c_str(), &st) != 0 || S_ISLNK(st.st_mode);
  }
  // An absolute link into the copy whose copy is missing.
  [[nodiscard]] bool dangles(const std::string& target) const {
    return target.starts_with("/") && leadsIntoCopy(target) && copyMissing(target);
  }

 private:
  std::optional<fs::path> dst_;
};

// The plain files below `src`, for the "N of M" of the progress.
std::size_t plainFilesBelow(const fs::path& src, unsigned threads) {
  std::vector<std::size_t> counts(threads, 0);
  visitFolders<fs::path>({src}, threads, [&](fs::path& folder, unsigned thread) {
    std::vector<fs::path> next;
    OpenFolder here(folder.string());
    for (const auto& e : here.entries().value_or(std::vector<FolderEntry>{})) {
      const unsigned char type = entryType(here.fd(), e);
      if (type == DT_REG) ++counts[thread];
      if (type == DT_DIR) next.push_back(folder / e.name);
    }
    return next;
  });
  std::size_t total = 0;
  for (std::size_t n : counts) total += n;
  return total;
}

// Counts the files linked so far across the walk's threads.
class LinkTally {
 public:
  LinkTally(const RelinkProgress& progress, std::size_t total)
      : progress_(progress), total_(total) {}
  void linked() {
    // A total counted by an earlier walk may fall short of files added since.
    if (progress_) {
      const std::size_t done = done_.fetch_add(1) + 1;
      progress_(done, std::max(done, total_));
    }
  }

 private:
  const RelinkProgress& progress_;
  std::size_t total_;
  std::atomic<std::size_t> done_{0};
};

// Relinks the files of one folder; returns its subfolders.
std::vector<RelinkFolder> relinkFolder(const RelinkSeams& seams, const fs::path& src,
                                       const fs::path& dst, const RelinkFolder& folder,
                                       WalkResult& part, std::string& firstErrorPath,
                                       LinkTally& tally, const CopyLinkJudge& judge) {
  auto note = [&](const std::string& path, std::string error) {
    ++part.errors;
    if (!part.firstError || path < firstErrorPath) {
      part.firstError = std::move(error);
      firstErrorPath = path;
    }
  };
  std::vector<RelinkFolder> next;
  const fs::path srcPath = folder.rel.empty() ? src : src / folder.rel;
  const fs::path dstPath = folder.rel.empty() ? dst : dst / folder.rel;
  OpenFolder here(srcPath.string());
  auto entries = here.entries();
  if (!entries) {
    note(folder.rel, "Could not enumerate " + src.string());
    part.linkedCheck.unreadable = true;
    return next;
  }
  OpenFolder there(dstPath.string());
  const int copyFd = there.isOpen() ? there.fd() : -1;
  const ReplaceGuard guard = copyFd >= 0 ? seams.guard.forFolders(here.fd(), copyFd) : seams.guard;
  std::unordered_set<std::string_view> linkedHere, foldersHere;
  for (const auto& e : *entries) {
    const unsigned char type = entryType(here.fd(), e);
    if (type == DT_LNK && isRelinkLeftover(e.name, linkTargetAt(here.fd(), e.name), dstPath)) {
      // A killed earlier run's spare link; its file is intact.
      bestEffort(seams.files.unlinkAt(here.fd(), e.name), seams.diagnostics,
                 "removing a spare link in " + srcPath.string());
      continue;
    }
    const std::string rel = folder.rel.empty() ? e.name : folder.rel + "/" + e.name;
    if (type == DT_DIR) {
      next.push_back({rel});
      foldersHere.insert(e.name);
    }
    if (type != DT_REG) {
      ++part.skipped;
      continue;
    }
    std::string error;
    // Keeping the newer version decides by the guard's verdict before any link is made.
    const auto relink = seams.keepNewerCopy ? guardedRelink : relinkJudgedLast;
    switch (relink(seams, guard, here.fd(), e.name, copyFd, e.name, (dst / rel).string(), error)) {
      case Relinked::kLinked:
        linkedHere.insert(e.name);
        ++part.relinked;
        tally.linked();
        stopPoint("mover:relinked");
        break;
      case Relinked::kChanged:
        // Removed meanwhile: nothing is left to relink or to copy.
        if (identityAt(here.fd(), e.name)) part.changed.push_back(rel);
        break;
      case Relinked::kFailed: note(rel, (src / rel).string() + ": " + error); break;
    }
  }
  // The folder as it is now, the links just made taken as made: a file
  // written here since the listing, or a link whose copy is missing, keeps
  // the relocation from being finished; a folder made since is walked too.
  const auto now = here.entries();
  if (!now) part.linkedCheck.unreadable = true;
  for (const auto& e : now.value_or(std::vector<FolderEntry>{})) {
    const unsigned char type = entryType(here.fd(), e);
    if ((type == DT_LNK && linkedHere.contains(e.name)) ||
        (type == DT_DIR && foldersHere.contains(e.name)))
      continue;
    const std::string rel = folder.rel.empty() ? e.name : folder.rel + "/" + e.name;
    if (type == DT_DIR) {
      next.push_back({rel});
    } else if (type != DT_LNK) {
      part.linkedCheck.notLinked.push_back(rel);
    } else if (judge.dangles(linkTargetAt(here.fd(), e.name))) {
      part.linkedCheck.dangling.push_back(rel);
    }
  }
  return next;
}

}  // namespace

std::string temporaryLinkName() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name(kTempPrefix);
  std::uint64_t bits = random();
  for (std::size_t i = 0; i < kTempDigits; ++i, bits >>= 4) name += kHex[bits & 15];
  return name;
}

bool isRelinkLeftover(std::string_view name, std::string_view linkTarget,
                      const fs::path& dstFolder) {
  const bool temporary =
      (name.size() == kTempPrefix.size() + kTempDigits && name.starts_with(kTempPrefix) &&
       std::all_of(name.begin() + kTempPrefix.size(), name.end(),
                   [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) ||
      (name.size() > kLegacyTempSuffix.size() && name.ends_with(kLegacyTempSuffix));
  if (!temporary) return false;
  const auto target = normalisedAbsolute(std::string(linkTarget));
  const auto folder = normalisedAbsolute(dstFolder.string());
  return target && folder && isStrictlyInside(*target, *folder);
}

LinkedTreeCheck checkLinkedTree(const fs::path& src, const fs::path& dst) {
  LinkedTreeCheck check;
  const CopyLinkJudge judge(dst);
  struct stat st {};
  if (lstat(src.c_str(), &st) != 0) {
    check.replaced = true;
    return check;
  }
  if (S_ISLNK(st.st_mode)) {
    const std::string target = linkTargetAt(AT_FDCWD, src.string());
    if (!judge.leadsIntoCopy(target)) check.replaced = true;
    if (judge.leadsIntoCopy(target) && CopyLinkJudge::copyMissing(target))
      check.dangling.push_back(".");
    return check;
  }
  if (!S_ISDIR(st.st_mode)) {
    check.notLinked.push_back(".");
    return check;
  }
  std::mutex mutex;
  visitFolders<std::string>({std::string()}, walkThreads(), [&](std::string& rel, unsigned) {
    std::vector<std::string> next;
    OpenFolder here((rel.empty() ? src : src / rel).string());
    auto entries = here.entries();
    // The links a relocation makes name their copy by the same relative
    // path: those are looked up in the open counterpart folder, without a
    // walk of the whole path for each.
    const fs::path copyFolder = rel.empty() ? dst : dst / rel;
    OpenFolder there(copyFolder.string());
    const std::string ownPrefix = copyFolder.string() + "/";
    const auto dangles = [&](const std::string& name) {
      const std::string target = linkTargetAt(here.fd(), name);
      if (there.isOpen() && target.size() == ownPrefix.size() + name.size() &&
          target.starts_with(ownPrefix) && target.ends_with(name)) {
        struct stat copy {};
        return fstatat(there.fd(), name.c_str(), &copy, AT_SYMLINK_NOFOLLOW) != 0 ||
               S_ISLNK(copy.st_mode);
      }
      return judge.dangles(target);
    };
    std::vector<std::string> notLinked, dangling;
    for (const auto& e : entries.value_or(std::vector<FolderEntry>{})) {
      const std::string path = rel.empty() ? e.name : rel + "/" + e.name;
      const unsigned char type = entryType(here.fd(), e);
      if (type == DT_DIR) {
        next.push_back(path);
      } else if (type != DT_LNK) {
        notLinked.push_back(path);
      } else if (dangles(e.name)) {
        dangling.push_back(path);
      }
    }
    std::lock_guard lock(mutex);
    if (!entries) check.unreadable = true;
    check.notLinked.insert(check.notLinked.end(), notLinked.begin(), notLinked.end());
    check.dangling.insert(check.dangling.end(), dangling.begin(), dangling.end());
    return next;
  });
  std::sort(check.notLinked.begin(), check.notLinked.end());
  std::sort(check.dangling.begin(), check.dangling.end());
  return check;
}

WalkResult relinkTree(const fs::path& src, const fs::path& dst, const RelinkSeams& seams) {
  WalkResult r;
  struct stat st {};
  if (lstat(src.c_str(), &st) != 0) {
    ++r.errors;
    r.firstError = "Source not found: " + src.string();
    r.linkedCheck = checkLinkedTree(src, dst);
    return r;
  }
  if (S_ISLNK(st.st_mode)) {
    ++r.skipped;  // already replaced on an earlier run
    r.linkedCheck = checkLinkedTree(src, dst);
    return r;
  }
  if (!S_ISDIR(st.st_mode)) {
    r.singleFile = true;
    OpenFolder parent(src.parent_path().string());
    // Only this file's own spare links: the folder around it is the user's.
    for (const auto& e : parent.entries().value_or(std::vector<FolderEntry>{})) {
      if (e.type != DT_LNK && e.type != DT_UNKNOWN) continue;
      const std::string target = linkTargetAt(parent.fd(), e.name);
      if (target == dst.string() && isRelinkLeftover(e.name, target, dst.parent_path())) {
        bestEffort(seams.files.unlinkAt(parent.fd(), e.name), seams.diagnostics,
                   "removing a spare link beside " + src.string());
      }
    }
    OpenFolder copyParent(dst.parent_path().string());
    std::string error;
    switch (guardedRelink(seams, seams.guard, parent.fd(), src.filename().string(),
                          copyParent.isOpen() ? copyParent.fd() : -1, dst.filename().string(),
                          dst.string(), error)) {
      case Relinked::kLinked:
        ++r.relinked;
        if (seams.progress) seams.progress(1, 1);
        stopPoint("mover:relinked");
        break;
      case Relinked::kChanged:
        if (identityAt(parent.fd(), src.filename().string())) r.changed.push_back(".");
        break;
      case Relinked::kFailed:
        ++r.errors;
        r.firstError = "Single-file relocate failed: " + error;
        break;
    }
    r.linkedCheck = checkLinkedTree(src, dst);
    return r;
  }
  // Folder by folder on several threads; the error reported first is the one
  // of the first path in name order, whichever thread met it.
  const unsigned threads = walkThreads();
  LinkTally tally(seams.progress, !seams.progress    ? 0
                                  : seams.plainFiles ? *seams.plainFiles
                                                     : plainFilesBelow(src, threads));
  std::vector<WalkResult> parts(threads);
  std::vector<std::string> firstErrorPaths(threads);
  const CopyLinkJudge judge(dst);
  visitFolders<RelinkFolder>({RelinkFolder{}}, threads, [&](RelinkFolder& folder, unsigned thread) {
    return relinkFolder(seams, src, dst, folder, parts[thread], firstErrorPaths[thread], tally,
                        judge);
  });
  std::string firstPath;
  for (unsigned i = 0; i < threads; ++i) {
    r.relinked += parts[i].relinked;
    r.skipped += parts[i].skipped;
    r.errors += parts[i].errors;
    if (parts[i].firstError && (!r.firstError || firstErrorPaths[i] < firstPath)) {
      r.firstError = parts[i].firstError;
      firstPath = firstErrorPaths[i];
    }
    r.changed.insert(r.changed.end(), parts[i].changed.begin(), parts[i].changed.end());
    LinkedTreeCheck& check = r.linkedCheck;
    const LinkedTreeCheck& seen = parts[i].linkedCheck;
    check.notLinked.insert(check.notLinked.end(), seen.notLinked.begin(), seen.notLinked.end());
    check.dangling.insert(check.dangling.end(), seen.dangling.begin(), seen.dangling.end());
    check.unreadable = check.unreadable || seen.unreadable;
  }
  std::sort(r.changed.begin(), r.changed.end());
  std::sort(r.linkedCheck.notLinked.begin(), r.linkedCheck.notLinked.end());
  std::sort(r.linkedCheck.dangling.begin(), r.linkedCheck.dangling.end());
  // The folder itself moved or replaced meanwhile: the root is judged as a whole.
  if (lstat(src.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    r.linkedCheck = checkLinkedTree(src, dst);
  return r;
}

}  // namespace brimvale::mover
