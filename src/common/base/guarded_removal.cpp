#include "common/base/guarded_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <unordered_set>

#include "common/base/folder_walk.h"

namespace brimvale {
namespace {

namespace fs = std::filesystem;

std::string joined(const std::string& rel, const std::string& name) {
  return rel.empty() || rel == "." ? name : rel + "/" + name;
}

class Removal {
 public:
  // Each entry is judged by `guard` against its counterpart, or by `check`
  // when there is no copy at hand (then `guard` is not used).
  Removal(const ReplaceGuard* guard, const RemovalCheck* check, FileOperations& files,
          GuardedRemoval& out)
      : guard_(guard), check_(check), files_(files), out_(out) {}

  // The entry `name` of the open folder `parentFd`, whole; its counterpart
  // is `keptName` in `keptParentFd` (-1: none), a folder or a file that may
  // carry another name (a copy made under a new one).
  void root(int parentFd, const std::string& name, int keptParentFd, const std::string& keptName) {
    struct stat st {};
    if (fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) out_.failed.push_back(std::string(".: ") + std::strerror(errno));
      return;
    }
    if (!S_ISDIR(st.st_mode)) {
      (void)entry(parentFd, keptParentFd, name, keptName, ".");
      return;
    }
    OpenFolder folder(parentFd, name);
    if (!folder.isOpen()) {
      out_.failed.push_back(std::string(".: ") + std::strerror(errno));
      return;
    }
    OpenFolder keptFolder(keptParentFd, keptName);
    const int keptFd = keptFolder.isOpen() ? keptFolder.fd() : -1;
    const Emptied emptied = walk(folder.fd(), keptFd, "");
    if (emptied == Emptied::kPostponed) finishPostponed(folder.fd(), keptFd);
    if (emptied == Emptied::kYes || (emptied == Emptied::kPostponed && !holdsLeftovers(""))) {
      removeFolder(parentFd, name, folder.fd(), "");
    }
  }

 private:
  GuardVerdict judge(int dfd, int kfd, const std::string& name, const std::string& keptName,
                     const std::string& rel) const {
    if (check_) return (*check_)(dfd, name, rel);
    if (kfd < 0) return GuardVerdict::kDiffers;
    const ReplaceGuard& guard = folderGuard_ ? *folderGuard_ : *guard_;
    auto proof = guard.verify(dfd, name, kfd, keptName);
    if (!proof) return proof.error();
    // A verdict from the stats alone rests on a fresh lstat taken just now.
    if (proof->byStatAlone) return GuardVerdict::kSafe;
    return guard.confirm(*proof, dfd, name, kfd, keptName);
  }

  // One non-folder entry of the open folder `dfd`, judged against `keptName`
  // in `kfd` (-1: the kept side has no such folder) right before its unlink.
  // True when it is gone.
  bool entry(int dfd, int kfd, const std::string& name, const std::string& keptName,
             const std::string& rel) {
    const GuardVerdict verdict = judge(dfd, kfd, name, keptName, rel);
    // Gone since the listing: nothing to remove.
    if (verdict != GuardVerdict::kSafe && !identityAt(dfd, name) && errno == ENOENT) return true;
    switch (verdict) {
      case GuardVerdict::kSafe: break;
      case GuardVerdict::kChanged: out_.changed.push_back(rel); return false;
      case GuardVerdict::kDiffers: out_.unmatched.push_back(rel); return false;
      case GuardVerdict::kUnreadable:
        out_.failed.push_back(rel + ": could not be read");
        return false;
    }
    if (std::error_code ec = files_.unlinkAt(dfd, name)) {
      out_.failed.push_back(rel + ": " + ec.message());
      return false;
    }
    ++out_.removed;
    return true;
  }

  enum class Emptied { kYes, kPostponed, kNo };

  // Everything inside the open folder `dfd`: kYes when it is left empty,
  // kPostponed when only postponed entries are left in it.
  Emptied walk(int dfd, int kfd, const std::string& rel) {
    OpenFolder listing(dfd, ".");
    auto entries = listing.entries();
    if (!entries) {
      out_.failed.push_back((rel.empty() ? "." : rel) + ": " + std::strerror(errno));
      return Emptied::kNo;
    }
    // The time stamp granularities are the same for every file of this folder pair.
    std::optional<ReplaceGuard> folderGuard;
    if (guard_ && kfd >= 0) folderGuard.emplace(guard_->forFolders(dfd, kfd));
    Emptied emptied = Emptied::kYes;
    const auto note = [&](Emptied what) {
      if (what == Emptied::kNo || emptied == Emptied::kYes) emptied = what;
    };
    for (const FolderEntry& e : *entries) {
      const std::string path = joined(rel, e.name);
      // The listing's kind spares a stat; a name that is no folder (any more) fails to open as one.
      std::optional<OpenFolder> sub;
      if (e.type == DT_DIR || e.type == DT_UNKNOWN) {
        sub.emplace(dfd, e.name);
        if (!sub->isOpen() && errno != ENOTDIR && errno != ELOOP) {
          if (errno == ENOENT) continue;  // gone meanwhile: nothing to remove
          out_.failed.push_back(path + ": " + std::strerror(errno));
          note(Emptied::kNo);
          continue;
        }
      }
      if (!sub || !sub->isOpen()) {
        if (touched_.contains(e.inode)) {
          postponed_.push_back({rel, e.name});
          note(Emptied::kPostponed);
          continue;
        }
        folderGuard_ = folderGuard ? &*folderGuard : nullptr;
        const bool gone = entry(dfd, kfd, e.name, e.name, path);
        folderGuard_ = nullptr;
        // Its other names, if any, now carry a new change time.
        if (gone) touched_.insert(e.inode);
        note(gone ? Emptied::kYes : Emptied::kNo);
        continue;
      }
      OpenFolder keptSub(kfd, e.name);
      const Emptied inner = walk(sub->fd(), keptSub.isOpen() ? keptSub.fd() : -1, path);
      if (inner == Emptied::kPostponed) {
        pendingFolders_.push_back(path);
        note(Emptied::kPostponed);
      } else {
        note(inner == Emptied::kYes && removeFolder(dfd, e.name, sub->fd(), path) ? Emptied::kYes
                                                                                  : Emptied::kNo);
      }
    }
    return emptied;
  }

  // The postponed entries, then the folders that held them, below the open
  // root folder `rootFd` whose counterpart is `keptRootFd` (-1: none).
  void finishPostponed(int rootFd, int keptRootFd) {
    for (const Postponed& p : postponed_) {
      const std::string path = joined(p.folder, p.name);
      const auto folder = reopen(rootFd, p.folder);
      if (!folder) {
        out_.failed.push_back(path + ": " + std::strerror(errno));
        keepAncestors(path);
        continue;
      }
      const auto keptFolder = reopen(keptRootFd, p.folder);
      const int kfd = keptFolder ? keptFolder->fd() : -1;
      if (!entry(folder->fd(), kfd, p.name, p.name, path)) keepAncestors(path);
    }
    // Deeper folders come first: each was listed once all its subfolders were walked.
    for (const std::string& rel : pendingFolders_) {
      if (holdsLeftovers(rel)) continue;
      const fs::path relPath(rel);
      const auto parent = reopen(rootFd, relPath.parent_path().string());
      const auto folder = parent ? reopen(parent->fd(), relPath.filename().string()) : nullptr;
      if (!folder) {
        out_.failed.push_back(rel + ": " + std::strerror(errno));
        keepAncestors(rel);
      } else if (!removeFolder(parent->fd(), relPath.filename().string(), folder->fd(), rel)) {
        keepAncestors(rel);
      }
    }
  }

  // The folder `rel` below the open folder `rootFd`, opened one name at a
  // time so that a link planted meanwhile is not followed; nothing when
  // a name cannot be opened.
  static std::unique_ptr<OpenFolder> reopen(int rootFd, const std::string& rel) {
    if (rootFd < 0) return nullptr;
    auto folder = std::make_unique<OpenFolder>(rootFd, ".");
    for (const fs::path& name : fs::path(rel)) {
      if (!folder->isOpen()) break;
      folder = std::make_unique<OpenFolder>(folder->fd(), name.string());
    }
    return folder->isOpen() ? std::move(folder) : nullptr;
  }

  // Marks the folders holding `rel` as not emptied.
  void keepAncestors(const std::string& rel) {
    for (fs::path folder = fs::path(rel).parent_path();; folder = folder.parent_path()) {
      if (!leftovers_.insert(folder.string()).second || folder.empty()) return;
    }
  }
  [[nodiscard]] bool holdsLeftovers(const std::string& rel) const {
    return leftovers_.contains(rel);
  }

  // Removes the emptied folder `name`; what appeared in it meanwhile was
  // never compared with anything, so it counts as changed and stays.
  bool removeFolder(int parentFd, const std::string& name, int fd, const std::string& rel) {
    if (unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0) {
      ++out_.removed;
      return true;
    }
    if (errno == ENOTEMPTY || errno == EEXIST) {
      for (const FolderEntry& e :
           OpenFolder(fd, ".").entries().value_or(std::vector<FolderEntry>{}))
        out_.changed.push_back(joined(rel, e.name));
    } else {
      out_.failed.push_back((rel.empty() ? "." : rel) + ": " + std::strerror(errno));
    }
    return false;
  }

  // A name of a multiply linked file whose other name this removal already
  // unlinked, which moved the file's change time to now: judged at once, the
  // guard would wait out the clock's tick for each such name. Set aside until
  // the rest of the tree is gone, they share one wait at most.
  struct Postponed {
    std::string folder;  // relative to the root, "" the root
    std::string name;
  };

  const ReplaceGuard* guard_;
  const RemovalCheck* check_;
  FileOperations& files_;
  GuardedRemoval& out_;
  // The guard for the folder pair being walked (granularities measured once).
  const ReplaceGuard* folderGuard_ = nullptr;
  // Inode numbers of files a name of which was unlinked; a number repeated on
  // another file system below the root only postpones its file needlessly.
  std::unordered_set<ino_t> touched_;
  std::vector<Postponed> postponed_;
  std::vector<std::string> pendingFolders_;  // emptied but for postponed entries, deepest first
  std::set<std::string> leftovers_;          // folders something stays in
};

// `remove(parentFd, name)` for `doomedRoot` once its parent folder is open;
// a missing parent leaves nothing to remove.
template <typename Remove>
GuardedRemoval fromParent(const fs::path& doomedRoot, Remove remove) {
  const fs::path parent = doomedRoot.parent_path().empty() ? "." : doomedRoot.parent_path();
  OpenFolder doomedParent(parent.string());
  if (!doomedParent.isOpen()) {
    GuardedRemoval out;
    if (errno != ENOENT) out.failed.push_back(std::string(".: ") + std::strerror(errno));
    return out;
  }
  return remove(doomedParent.fd(), doomedRoot.filename().string());
}

}  // namespace

std::vector<std::string> GuardedRemoval::leftBehind() const {
  std::vector<std::string> all = changed;
  all.insert(all.end(), unmatched.begin(), unmatched.end());
  for (const std::string& f : failed) all.push_back(f.substr(0, f.find(": ")));
  return all;
}

GuardedRemoval removeVerifiedTree(const fs::path& doomedRoot, const fs::path& keptRoot,
                                  const ReplaceGuard& guard, FileOperations& files) {
  return fromParent(doomedRoot, [&](int parentFd, const std::string& name) {
    return removeVerifiedTreeAt(parentFd, name, keptRoot, guard, files);
  });
}

GuardedRemoval removeVerifiedTreeAt(int doomedParentFd, const std::string& name,
                                    const fs::path& keptRoot, const ReplaceGuard& guard,
                                    FileOperations& files) {
  GuardedRemoval out;
  // "kept/" names the folder "kept".
  const fs::path kept = keptRoot.has_filename() ? keptRoot : keptRoot.parent_path();
  OpenFolder keptParent(kept.has_parent_path() ? kept.parent_path().string() : ".");
  Removal(&guard, nullptr, files, out)
      .root(doomedParentFd, name, keptParent.isOpen() ? keptParent.fd() : -1,
            kept.filename().string());
  return out;
}

GuardedRemoval removeCheckedTree(const fs::path& doomedRoot, const RemovalCheck& check,
                                 FileOperations& files) {
  return fromParent(doomedRoot, [&](int parentFd, const std::string& name) {
    GuardedRemoval out;
    Removal(nullptr, &check, files, out).root(parentFd, name, -1, name);
    return out;
  });
}

}  // namespace brimvale
