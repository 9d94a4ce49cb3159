#include "mover/switch_refresh.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "mover/relink.h"

namespace brimvale::mover {
namespace {

namespace fs = std::filesystem;

struct RefreshFd {
  int fd = -1;
  ~RefreshFd() {
    if (fd >= 0) close(fd);
  }
};

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Copies the file `name` of `fromDir` into `toDir` under the same name, which
// must be free: written under a temporary name with the source's permissions
// and times, flushed, then renamed into place without replacing anything.
std::optional<std::string> copyAcross(int fromDir, int toDir, const std::string& name,
                                      const fs::path& shownAs) {
  RefreshFd in{openat(fromDir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  struct stat st {};
  if (in.fd < 0 || fstat(in.fd, &st) != 0) return errnoText("couldn't read " + shownAs.string());
  if (!S_ISREG(st.st_mode)) return shownAs.string() + " is no longer a file";
  const std::string temp = temporaryLinkName();
  RefreshFd out{openat(toDir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
  if (out.fd < 0) return errnoText("couldn't write a copy of " + shownAs.string());
  auto abandon = [&](const std::string& why) {
    unlinkat(toDir, temp.c_str(), 0);
    return std::optional<std::string>(errnoText(why));
  };
  std::vector<char> buf(256 * 1024);
  while (true) {
    const ssize_t n = read(in.fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return abandon("couldn't read " + shownAs.string());
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out.fd, buf.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return abandon("couldn't write a copy of " + shownAs.string());
      done += w;
    }
  }
  if (geteuid() == 0 && fchown(out.fd, st.st_uid, st.st_gid) != 0)
    return abandon("couldn't give the copy of " + shownAs.string() + " its owner");
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (fchmod(out.fd, st.st_mode & 07777) != 0 || futimens(out.fd, times) != 0 || fsync(out.fd) != 0)
    return abandon("couldn't finish the copy of " + shownAs.string());
  if (renameat2(toDir, temp.c_str(), toDir, name.c_str(), RENAME_NOREPLACE) != 0)
    return abandon("couldn't put the copy of " + shownAs.string() + " in place");
  return std::nullopt;
}

class Refresh {
 public:
  Refresh(const ReplaceGuard& guard, CopyRefresh& out) : guard_(guard), out_(out) {}

  // Sets aside what the copy has at `name` (if anything); false on failure.
  bool setAside(int cp, const std::string& name, const fs::path& copyPath) {
    if (!identityAt(cp, name)) return true;
    auto kept = keepAside(cp, name);
    if (!kept) {
      out_.error = "couldn't set aside " + copyPath.string() + " (" + kept.error().message() + ")";
      return false;
    }
    out_.keptAside.push_back(copyPath.parent_path() / *kept);
    return true;
  }

  void file(int cur, int cp, const std::string& name, const fs::path& curPath,
            const fs::path& copyPath) {
    const GuardVerdict verdict = guard_.check(cur, name, cp, name);
    if (verdict == GuardVerdict::kSafe) return;
    if (verdict == GuardVerdict::kUnreadable && !identityAt(cur, name)) {
      out_.error = "couldn't read " + curPath.string();
      return;
    }
    if (!setAside(cp, name, copyPath)) return;
    if (auto failed = copyAcross(cur, cp, name, curPath)) {
      out_.error = *failed;
      return;
    }
    const ReplaceGuard exact(
        GuardOptions{.alwaysCompareBytes = true, .granularity = guard_.options().granularity});
    if (exact.check(cur, name, cp, name) != GuardVerdict::kSafe) {
      out_.error = curPath.string() + " kept changing while it was being copied to the new drive";
      return;
    }
    out_.refreshed.push_back(copyPath);
  }

  void link(int cur, int cp, const std::string& name, const fs::path& curPath,
            const fs::path& copyPath) {
    const std::string target = linkTargetAt(cur, name);
    if (target.empty()) {
      out_.error = "couldn't read the link " + curPath.string();
      return;
    }
    if (linkTargetAt(cp, name) == target) return;
    if (!setAside(cp, name, copyPath)) return;
    if (symlinkat(target.c_str(), cp, name.c_str()) != 0)
      out_.error = errnoText("couldn't make the link " + copyPath.string());
  }

  void folder(int cur, int cp, const fs::path& curPath, const fs::path& copyPath) {
    auto entries = OpenFolder(cur, ".").entries();
    if (!entries) {
      out_.error = errnoText("couldn't list " + curPath.string());
      return;
    }
    for (const FolderEntry& e : *entries) {
      if (out_.error) return;
      struct stat st {};
      if (fstatat(cur, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
      const fs::path from = curPath / e.name, to = copyPath / e.name;
      if (S_ISREG(st.st_mode)) {
        file(cur, cp, e.name, from, to);
      } else if (S_ISLNK(st.st_mode)) {
        link(cur, cp, e.name, from, to);
      } else if (S_ISDIR(st.st_mode)) {
        struct stat there {};
        const bool isFolder =
            fstatat(cp, e.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(there.st_mode);
        if (!isFolder &&
            (!setAside(cp, e.name, to) || mkdirat(cp, e.name.c_str(), st.st_mode & 07777) != 0)) {
          if (!out_.error) out_.error = errnoText("couldn't make the folder " + to.string());
          return;
        }
        OpenFolder sub(cur, e.name), subCopy(cp, e.name);
        if (!sub.isOpen() || !subCopy.isOpen()) {
          out_.error = errnoText("couldn't open " + (sub.isOpen() ? to : from).string());
          return;
        }
        folder(sub.fd(), subCopy.fd(), from, to);
      }
    }
  }

 private:
  const ReplaceGuard& guard_;
  CopyRefresh& out_;
};

}  // namespace

CopyRefresh refreshCopy(const fs::path& current, const fs::path& copy, const ReplaceGuard& guard) {
  CopyRefresh out;
  struct stat st {};
  if (lstat(current.c_str(), &st) != 0) return out;
  Refresh refresh(guard, out);
  OpenFolder curParent(current.parent_path().string()), copyParent(copy.parent_path().string());
  if (!curParent.isOpen() || !copyParent.isOpen()) {
    out.error =
        errnoText("couldn't open " + (curParent.isOpen() ? copy : current).parent_path().string());
    return out;
  }
  if (current.filename() != copy.filename()) {
    out.error = "the copy of " + current.string() + " has another name";
    return out;
  }
  const std::string name = current.filename().string();
  if (S_ISREG(st.st_mode)) {
    refresh.file(curParent.fd(), copyParent.fd(), name, current, copy);
  } else if (S_ISLNK(st.st_mode)) {
    refresh.link(curParent.fd(), copyParent.fd(), name, current, copy);
  } else if (S_ISDIR(st.st_mode)) {
    OpenFolder cur(curParent.fd(), name), cp(copyParent.fd(), name);
    if (!cur.isOpen() || !cp.isOpen()) {
      out.error = errnoText("couldn't open " + (cur.isOpen() ? copy : current).string());
      return out;
    }
    refresh.folder(cur.fd(), cp.fd(), current, copy);
  }
  return out;
}

}  // namespace brimvale::mover
