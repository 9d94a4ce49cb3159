#include "common/base/guarded_removal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    if (!S_ISDIR(st.st_mode)) return entry(parentFd, keptParentFd, name, keptName, ".");
    OpenFolder folder(parentFd, name);
    if (!folder.isOpen()) {
      out_.failed.push_back(std::string(".: ") + std::strerror(errno));
      return;
    }
    OpenFolder keptFolder(keptParentFd, keptName);
    if (walk(folder.fd(), keptFolder.isOpen() ? keptFolder.fd() : -1, "")) {
      removeFolder(parentFd, name, folder.fd(), "");
    }
  }

 private:
  GuardVerdict judge(int dfd, int kfd, const std::string& name, const std::string& keptName,
                     const std::string& rel) const {
    if (check_) return (*check_)(dfd, name, rel);
    if (kfd < 0) return GuardVerdict::kDiffers;
    auto proof = guard_->verify(dfd, name, kfd, keptName);
    return proof ? guard_->confirm(*proof, dfd, name, kfd, keptName) : proof.error();
  }

  // One non-folder entry of the open folder `dfd`, judged against `keptName`
  // in `kfd` (-1: the kept side has no such folder) right before its unlink.
  void entry(int dfd, int kfd, const std::string& name, const std::string& keptName,
             const std::string& rel) {
    switch (judge(dfd, kfd, name, keptName, rel)) {
      case GuardVerdict::kSafe: break;
      case GuardVerdict::kChanged: return out_.changed.push_back(rel);
      case GuardVerdict::kDiffers: return out_.unmatched.push_back(rel);
      case GuardVerdict::kUnreadable: return out_.failed.push_back(rel + ": could not be read");
    }
    if (std::error_code ec = files_.unlinkAt(dfd, name)) {
      out_.failed.push_back(rel + ": " + ec.message());
      return;
    }
    ++out_.removed;
  }

  // Everything inside the open folder `dfd`; true when it is left empty.
  bool walk(int dfd, int kfd, const std::string& rel) {
    OpenFolder listing(dfd, ".");
    auto entries = listing.entries();
    if (!entries) {
      out_.failed.push_back((rel.empty() ? "." : rel) + ": " + std::strerror(errno));
      return false;
    }
    bool empty = true;
    for (const FolderEntry& e : *entries) {
      const std::string path = joined(rel, e.name);
      struct stat st {};
      if (fstatat(dfd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // gone meanwhile: nothing to remove
        out_.failed.push_back(path + ": " + std::strerror(errno));
        empty = false;
        continue;
      }
      if (!S_ISDIR(st.st_mode)) {
        const std::size_t before = out_.removed;
        entry(dfd, kfd, e.name, e.name, path);
        empty = empty && out_.removed > before;
        continue;
      }
      OpenFolder sub(dfd, e.name);
      if (!sub.isOpen()) {
        out_.failed.push_back(path + ": " + std::strerror(errno));
        empty = false;
        continue;
      }
      OpenFolder keptSub(kfd, e.name);
      if (walk(sub.fd(), keptSub.isOpen() ? keptSub.fd() : -1, path) &&
          removeFolder(dfd, e.name, sub.fd(), path)) {
        continue;
      }
      empty = false;
    }
    return empty;
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

  const ReplaceGuard* guard_;
  const RemovalCheck* check_;
  FileOperations& files_;
  GuardedRemoval& out_;
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
