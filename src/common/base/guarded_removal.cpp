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
  Removal(const ReplaceGuard& guard, FileOperations& files, GuardedRemoval& out)
      : guard_(guard), files_(files), out_(out) {}

  // One non-folder entry of the open folder `dfd`, judged against the same
  // name in `kfd` (-1: the kept side has no such folder).
  void entry(int dfd, int kfd, const std::string& name, const std::string& rel) {
    if (kfd < 0) {
      out_.unmatched.push_back(rel);
      return;
    }
    auto proof = guard_.verify(dfd, name, kfd, name);
    if (!proof) return sort(proof.error(), rel);
    if (GuardVerdict last = guard_.confirm(*proof, dfd, name, kfd, name);
        last != GuardVerdict::kSafe)
      return sort(last, rel);
    if (std::error_code ec = files_.unlinkAt(dfd, name)) {
      out_.failed.push_back(rel + ": " + ec.message());
      return;
    }
    ++out_.removed;
  }

  // Everything inside the open folder `dfd`; true when it is left empty.
  bool folder(int dfd, int kfd, const std::string& rel) {
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
        entry(dfd, kfd, e.name, path);
        empty = empty && out_.removed > before;
        continue;
      }
      OpenFolder sub(dfd, e.name);
      if (!sub.isOpen()) {
        out_.failed.push_back(path + ": " + std::strerror(errno));
        empty = false;
        continue;
      }
      OpenFolder keptSub(kfd < 0 ? -1 : kfd, e.name);
      if (folder(sub.fd(), keptSub.isOpen() ? keptSub.fd() : -1, path) &&
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

 private:
  void sort(GuardVerdict verdict, const std::string& rel) {
    switch (verdict) {
      case GuardVerdict::kChanged: out_.changed.push_back(rel); break;
      case GuardVerdict::kDiffers: out_.unmatched.push_back(rel); break;
      case GuardVerdict::kUnreadable: out_.failed.push_back(rel + ": could not be read"); break;
      case GuardVerdict::kSafe: break;
    }
  }

  const ReplaceGuard& guard_;
  FileOperations& files_;
  GuardedRemoval& out_;
};

}  // namespace

std::vector<std::string> GuardedRemoval::leftBehind() const {
  std::vector<std::string> all = changed;
  all.insert(all.end(), unmatched.begin(), unmatched.end());
  for (const std::string& f : failed) all.push_back(f.substr(0, f.find(": ")));
  return all;
}

GuardedRemoval removeVerifiedTree(const fs::path& doomedRoot, const fs::path& keptRoot,
                                  const ReplaceGuard& guard, FileOperations& files) {
  const fs::path parent = doomedRoot.parent_path().empty() ? "." : doomedRoot.parent_path();
  OpenFolder doomedParent(parent.string());
  if (!doomedParent.isOpen()) {
    GuardedRemoval out;
    if (errno != ENOENT) out.failed.push_back(std::string(".: ") + std::strerror(errno));
    return out;
  }
  return removeVerifiedTreeAt(doomedParent.fd(), doomedRoot.filename().string(), keptRoot, guard,
                              files);
}

GuardedRemoval removeVerifiedTreeAt(int doomedParentFd, const std::string& name,
                                    const fs::path& keptRoot, const ReplaceGuard& guard,
                                    FileOperations& files) {
  GuardedRemoval out;
  Removal removal(guard, files, out);
  struct stat st {};
  if (fstatat(doomedParentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) out.failed.push_back(std::string(".: ") + std::strerror(errno));
    return out;
  }
  const fs::path keptParent = keptRoot.parent_path().empty() ? "." : keptRoot.parent_path();
  OpenFolder keptParentFolder(keptParent.string());
  if (!S_ISDIR(st.st_mode)) {
    // The kept side may carry another name (a copy made under a new one).
    const std::string keptName = keptRoot.filename().string();
    if (!keptParentFolder.isOpen()) {
      out.unmatched.push_back(".");
      return out;
    }
    auto proof = guard.verify(doomedParentFd, name, keptParentFolder.fd(), keptName);
    GuardVerdict verdict =
        proof ? guard.confirm(*proof, doomedParentFd, name, keptParentFolder.fd(), keptName)
              : proof.error();
    if (verdict == GuardVerdict::kSafe) {
      if (std::error_code ec = files.unlinkAt(doomedParentFd, name)) {
        out.failed.push_back(".: " + ec.message());
      } else {
        ++out.removed;
      }
    } else if (verdict == GuardVerdict::kChanged) {
      out.changed.push_back(".");
    } else if (verdict == GuardVerdict::kDiffers) {
      out.unmatched.push_back(".");
    } else {
      out.failed.push_back(".: could not be read");
    }
    return out;
  }
  OpenFolder root(doomedParentFd, name);
  if (!root.isOpen()) {
    out.failed.push_back(std::string(".: ") + std::strerror(errno));
    return out;
  }
  OpenFolder keptFolder(keptRoot.string());
  if (removal.folder(root.fd(), keptFolder.isOpen() ? keptFolder.fd() : -1, "")) {
    removal.removeFolder(doomedParentFd, name, root.fd(), "");
  }
  return out;
}

}  // namespace brimvale
