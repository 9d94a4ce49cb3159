#include "apps/bundle_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/guarded_removal.h"

namespace brimvale::apps {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::hours kCatchUpDeadline{24};
constexpr std::string_view kCatchUpPrefix = ".brimvale-catch-up-";

std::string joined(const std::string& rel, const std::string& name) {
  return rel.empty() ? name : rel + "/" + name;
}

class Comparison {
 public:
  Comparison(const ReplaceGuard& guard, BundleDifferences& out) : guard_(guard), out_(out) {}

  void folder(int bundleFd, int copyFd, const std::string& rel) {
    const auto entries = OpenFolder(bundleFd, ".").entries();
    if (!entries) {
      out_.unreadable.push_back(rel.empty() ? "." : rel);
      return;
    }
    // The time stamp granularities are the same for every file of this folder pair.
    const ReplaceGuard folderGuard = copyFd >= 0 ? guard_.forFolders(bundleFd, copyFd) : guard_;
    for (const FolderEntry& e : *entries) {
      const std::string path = joined(rel, e.name);
      if (e.type != DT_DIR && e.type != DT_UNKNOWN) {
        file(folderGuard, bundleFd, copyFd, e.name, e.name, path);
        continue;
      }
      const OpenFolder sub(bundleFd, e.name);
      if (!sub.isOpen()) {
        if (errno == ENOTDIR || errno == ELOOP) {
          file(folderGuard, bundleFd, copyFd, e.name, e.name, path);
        } else if (errno != ENOENT) {  // gone since the listing: nothing of it can be lost
          out_.unreadable.push_back(path);
        }
        continue;
      }
      const OpenFolder copySub(copyFd, e.name);
      if (!copySub.isOpen()) {
        out_.missing.push_back(path);
      } else {
        folder(sub.fd(), copySub.fd(), path);
      }
    }
  }

  void file(const ReplaceGuard& guard, int bundleFd, int copyFd, const std::string& name,
            const std::string& copyName, const std::string& path) {
    if (copyFd < 0) {
      out_.missing.push_back(path);
      return;
    }
    const auto proof = guard.verify(bundleFd, name, copyFd, copyName);
    if (proof) return;
    // Gone since the listing: nothing of it can be lost.
    if (proof.error() == GuardVerdict::kChanged && !identityAt(bundleFd, name) && errno == ENOENT) {
      return;
    }
    switch (proof.error()) {
      case GuardVerdict::kChanged: out_.changed.push_back(path); break;
      case GuardVerdict::kDiffers: out_.missing.push_back(path); break;
      case GuardVerdict::kUnreadable: out_.unreadable.push_back(path); break;
      case GuardVerdict::kSafe: break;
    }
  }

 private:
  const ReplaceGuard& guard_;
  BundleDifferences& out_;
};

// Copies the entry `rel` of `bundle` over its place in `copy`: to a hidden
// name in the same folder first, so the copy never holds half an entry.
std::optional<std::string> copyAgain(platform::AppRelocationTools& tools, FileOperations& files,
                                     const fs::path& bundle, const fs::path& copy,
                                     const std::string& rel) {
  const fs::path from = rel == "." ? bundle : bundle / rel;
  const fs::path to = rel == "." ? copy : copy / rel;
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;  // removed meanwhile: nothing to carry over
    return "Couldn't read " + from.string() + ": " + std::strerror(errno) + ".";
  }
  // A whole bundle is never replaced in one piece, nor by a link.
  if (rel == "." && !S_ISREG(st.st_mode)) {
    return "Couldn't compare " + bundle.string() + " with " + copy.string() + ".";
  }
  if (auto ec = files.createDirectories(to.parent_path())) {
    return "Couldn't create " + to.parent_path().string() + ": " + ec.message() + ".";
  }
  const fs::path temp = to.parent_path() / (std::string(kCatchUpPrefix) + to.filename().string());
  // Only ever our own half-made entry from an earlier round.
  (void)files.removeAll(temp);
  if (S_ISLNK(st.st_mode)) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(from, ec);
    if (!ec) fs::create_symlink(target, temp, ec);
    if (ec) return "Couldn't copy the link " + from.string() + ": " + ec.message() + ".";
  } else if (auto copied = tools.copyBundle(
                 from.string(), temp.string(), "catch-up",
                 std::chrono::duration_cast<std::chrono::seconds>(kCatchUpDeadline), {});
             !copied) {
    (void)files.removeAll(temp);  // the next round removes it first
    return "Couldn't copy " + from.string() + " again: " + copied.error().detail;
  }
  if (auto ec = files.rename(temp, to)) {
    (void)files.removeAll(temp);  // the next round removes it first
    return "Couldn't put the new copy of " + from.string() + " in place: " + ec.message() + ".";
  }
  // The rename touched the folder's times; it keeps those of the original.
  struct stat folder {};
  if (::stat(from.parent_path().c_str(), &folder) == 0) {
    const struct timespec times[2] = {folder.st_atim, folder.st_mtim};
    ::utimensat(AT_FDCWD, to.parent_path().c_str(), times, 0);
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> BundleDifferences::all() const {
  std::vector<std::string> out = changed;
  out.insert(out.end(), missing.begin(), missing.end());
  out.insert(out.end(), unreadable.begin(), unreadable.end());
  return out;
}

BundleDifferences compareBundle(const fs::path& bundle, const fs::path& copy,
                                const ReplaceGuard& guard) {
  BundleDifferences out;
  struct stat st {};
  if (::lstat(bundle.c_str(), &st) != 0) {
    out.unreadable.push_back(".");
    return out;
  }
  if (!S_ISDIR(st.st_mode)) {
    // A single file (a preferences file), compared like an entry of a folder.
    const OpenFolder parent(bundle.parent_path().string());
    const OpenFolder copyParent(copy.parent_path().string());
    if (!parent.isOpen()) {
      out.unreadable.push_back(".");
    } else if (!copyParent.isOpen()) {
      out.missing.push_back(".");
    } else {
      Comparison(guard, out)
          .file(guard, parent.fd(), copyParent.fd(), bundle.filename().string(),
                copy.filename().string(), ".");
    }
    return out;
  }
  const OpenFolder root(bundle.string());
  if (!root.isOpen()) {
    out.unreadable.push_back(".");
    return out;
  }
  const OpenFolder copyRoot(copy.string());
  if (!copyRoot.isOpen()) {
    out.missing.push_back(".");
    return out;
  }
  Comparison(guard, out).folder(root.fd(), copyRoot.fd(), "");
  return out;
}

std::expected<std::vector<std::string>, std::string> catchUp(platform::AppRelocationTools& tools,
                                                             FileOperations& files,
                                                             const fs::path& bundle,
                                                             const fs::path& copy,
                                                             const ReplaceGuard& guard) {
  for (int round = 0;; ++round) {
    const BundleDifferences differences = compareBundle(bundle, copy, guard);
    if (differences.none()) return std::vector<std::string>{};
    const std::vector<std::string> entries = differences.all();
    if (round == kCatchUpRounds) return entries;
    for (const std::string& rel : entries) {
      if (auto failed = copyAgain(tools, files, bundle, copy, rel)) return std::unexpected(*failed);
    }
  }
}

std::string namedEntries(const std::vector<std::string>& entries) {
  constexpr std::size_t kShown = 5;
  std::string text;
  for (std::size_t i = 0; i < entries.size() && i < kShown; ++i) {
    text += (i == 0 ? "" : ", ") + entries[i];
  }
  if (entries.size() > kShown) text += " and " + std::to_string(entries.size() - kShown) + " more";
  return text;
}

Retired retire(const fs::path& doomed, const fs::path& kept, const ReplaceGuard& guard,
               FileOperations& files, const RetireOptions& options) {
  Retired out;
  if (!entryPresent(doomed)) {
    out.gone = true;
    return out;
  }
  const BundleDifferences differences =
      options.comparedJustNow ? BundleDifferences{} : compareBundle(doomed, kept, guard);
  if (differences.none()) {
    const GuardedRemoval removal = removeVerifiedTree(doomed, kept, guard, files);
    if (removal.complete() && !entryPresent(doomed)) {
      out.gone = true;
      return out;
    }
    // Everything left matched: the user only lacked the right to remove it.
    if (removal.changed.empty() && removal.unmatched.empty() && options.removeRest &&
        options.removeRest(doomed) && !entryPresent(doomed)) {
      out.gone = true;
      return out;
    }
    out.differing = removal.leftBehind();
  } else {
    out.differing = differences.all();
  }
  const fs::path folder = options.keepIn.empty() ? doomed.parent_path() : options.keepIn;
  const std::string name = options.keepName.empty() ? doomed.filename().string() : options.keepName;
  if (folder == doomed.parent_path() && name == doomed.filename().string()) {
    const OpenFolder parent(folder.string());
    std::expected<std::string, std::error_code> aside =
        std::unexpected(std::error_code(errno, std::generic_category()));
    if (parent.isOpen()) aside = keepAside(parent.fd(), name);
    if (aside) {
      out.keptAt = folder / *aside;
    } else {
      out.error = "Couldn't keep " + doomed.string() + " aside: " + aside.error().message() + ".";
    }
    return out;
  }
  const fs::path target = folder / keptAsideName(name, std::chrono::system_clock::now());
  if (auto ec = files.renameNoReplace(doomed, target)) {
    out.error =
        "Couldn't keep " + doomed.string() + " as " + target.string() + ": " + ec.message() + ".";
  } else {
    out.keptAt = target;
  }
  return out;
}

}  // namespace brimvale::apps
