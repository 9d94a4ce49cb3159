#include "service/relocation/checked_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/base/file_calls.h"
#include "common/base/folder_walk.h"
#include "common/base/replace_guard.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

int openFolderAt(int parent, const std::string& name) {
  return openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Removes `name` inside the open folder `parent` and, for a folder, all it
// holds. Links are removed as links; nothing is looked up through a path.
Result<void> removeAt(int parent, const std::string& name, const fs::path& shown) {
  struct stat st {};
  if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return {};
    return std::unexpected(errnoError("look at " + shown.string(), errno));
  }
  if (!S_ISDIR(st.st_mode)) {
    if (unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) {
      return std::unexpected(errnoError("remove " + shown.string(), errno));
    }
    return {};
  }
  Result<void> first;
  {
    OpenFolder folder(parent, name);
    if (!folder.isOpen()) return std::unexpected(errnoError("open " + shown.string(), errno));
    struct stat opened {};
    if (fstat(folder.fd(), &opened) != 0 || opened.st_dev != st.st_dev ||
        opened.st_ino != st.st_ino) {
      return fail(Errc::kIo, shown.string() + " changed while it was being removed");
    }
    auto entries = folder.entries();
    if (!entries) return std::unexpected(errnoError("list " + shown.string(), errno));
    for (const auto& entry : *entries) {
      auto removed = removeAt(folder.fd(), entry.name, shown / entry.name);
      if (!removed && first) first = std::move(removed);
    }
  }
  if (!first) return first;
  if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
    return std::unexpected(errnoError("remove " + shown.string(), errno));
  }
  return {};
}

// The folder holding the last component of `relative`, opened from `root`
// one component at a time without following links.
std::expected<Fd, int> openParent(int root, const fs::path& relative) {
  Fd current(fcntl(root, F_DUPFD_CLOEXEC, 0));
  if (current.get() < 0) return std::unexpected(errno);
  for (auto it = relative.begin(); it != relative.end() && std::next(it) != relative.end(); ++it) {
    Fd next(openFolderAt(current.get(), it->string()));
    if (next.get() < 0) return std::unexpected(errno);
    current = std::move(next);
  }
  return current;
}

std::int64_t nanosOf(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

std::int64_t nanosOf(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Removes the entry `name` of the open folder `parent` as `decided` saw it:
// an entry that is no longer that is left; inside a folder, entries changed
// at or after `changedFrom` or written at or after `writtenFrom` are left.
// True when the entry is gone.
class ListedRemover {
 public:
  ListedRemover(std::int64_t changedFrom, std::int64_t writtenFrom, ListedRemoval& out)
      : changedFrom_(changedFrom), writtenFrom_(writtenFrom), out_(out) {}

  bool remove(int parent, const std::string& name, const fs::path& shown,
              const FileIdentity& decided) {
    const auto now = identityAt(parent, name);
    if (!now) return errno == ENOENT || failed(shown, errno);
    if (!(*now == decided)) return left(shown);
    if (!S_ISDIR(now->mode)) {
      if (unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) return failed(shown, errno);
      return true;
    }
    bool empty = true;
    {
      OpenFolder folder(parent, name);
      struct stat opened {};
      if (!folder.isOpen()) return failed(shown, errno);
      if (fstat(folder.fd(), &opened) != 0 || opened.st_dev != decided.device ||
          opened.st_ino != decided.inode)
        return left(shown);
      auto entries = folder.entries();
      if (!entries) return failed(shown, errno);
      for (const auto& entry : *entries) {
        const fs::path inner = shown / entry.name;
        const auto id = identityAt(folder.fd(), entry.name);
        if (!id) {
          if (errno != ENOENT) empty = failed(inner, errno);
          continue;
        }
        if (id->ctimeNs >= changedFrom_ || id->mtimeNs >= writtenFrom_) {
          empty = left(inner);
          continue;
        }
        if (!remove(folder.fd(), entry.name, inner, *id)) empty = false;
      }
    }
    if (!empty) return false;
    if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
    // Something appeared in it since it was emptied.
    if (errno == ENOTEMPTY || errno == EEXIST) return left(shown);
    return failed(shown, errno);
  }

 private:
  // Both note an entry left behind and return false (it is not gone).
  bool left(const fs::path& shown) {
    out_.left.push_back(shown.string());
    return false;
  }
  bool failed(const fs::path& shown, int error) {
    if (out_.firstFailure.empty())
      out_.firstFailure = errnoError("remove " + shown.string(), error).message();
    out_.left.push_back(shown.string());
    return false;
  }

  std::int64_t changedFrom_;
  std::int64_t writtenFrom_;
  ListedRemoval& out_;
};

}  // namespace

std::expected<CheckedFolder, std::string> CheckedFolder::open(const PathPolicy& policy,
                                                              const fs::path& folder) {
  auto allowed = policy.check(folder);
  if (!allowed) return std::unexpected(allowed.error().sentence());
  struct stat own {};
  if (lstat(allowed->path.c_str(), &own) == 0 && S_ISLNK(own.st_mode)) {
    PathRefusal refusal{.reason = PathRefusalReason::kThroughLink, .path = folder.string()};
    // The link's own text when its destination cannot be resolved.
    auto resolved = weaklyCanonical(allowed->path);
    if (!resolved) resolved = readSymlink(allowed->path);
    refusal.resolved = resolved.value_or(fs::path()).string();
    return std::unexpected(refusal.sentence());
  }
  const int fd = ::open(allowed->resolved.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const Error error = errnoError("open " + folder.string(), errno);
    return std::unexpected(folder.string() + " couldn't be opened, so Brimvale left it alone. " +
                           error.message());
  }
  // The folder opened must be the one the path names now: a swap for a link
  // between the check and the open is caught here.
  struct stat opened {};
  if (fstat(fd, &opened) != 0 || lstat(allowed->path.c_str(), &own) != 0 ||
      opened.st_dev != own.st_dev || opened.st_ino != own.st_ino) {
    ::close(fd);
    return std::unexpected(folder.string() +
                           " changed while Brimvale was opening it, so it was left alone. "
                           "Nothing was changed.");
  }
  return CheckedFolder(fd, allowed->path);
}

bool writtenMomentsAgo(const struct stat& info, std::chrono::system_clock::time_point now) {
  return nanosOf(info.st_mtim) >= nanosOf(now - kInUseWindow);
}

CheckedFolder::~CheckedFolder() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> CheckedFolder::remove(const fs::path& relative) const {
  const fs::path shown = path_ / relative;
  if (relative.empty() || relative.is_absolute() || !relative.has_filename()) {
    return fail(Errc::kInvalidArgument,
                "not an entry of " + path_.string() + ": " + relative.string());
  }
  for (const auto& part : relative) {
    if (part == ".." || part == ".") {
      return fail(Errc::kInvalidArgument,
                  "not an entry of " + path_.string() + ": " + relative.string());
    }
  }
  auto parent = openParent(fd_, relative);
  if (!parent)
    return std::unexpected(errnoError("open the folder of " + shown.string(), parent.error()));
  return removeAt(parent->get(), relative.filename().string(), shown);
}

ListedRemoval CheckedFolder::removeAsListed(const fs::path& relative, const struct stat& listed,
                                            std::chrono::system_clock::time_point listedAt) const {
  ListedRemoval out;
  auto parent = openParent(fd_, relative);
  if (!parent) {
    out.firstFailure =
        errnoError("open the folder of " + (path_ / relative).string(), parent.error()).message();
    out.left.push_back(relative.string());
    return out;
  }
  // The file system stamps change times from a clock that may lag by one of
  // its ticks: anything stamped within a tick of the listing may be newer.
  const std::int64_t changedFrom = nanosOf(listedAt) - timeGranularity(parent->get()).count();
  const std::int64_t writtenFrom = nanosOf(listedAt - kInUseWindow);
  ListedRemover remover(changedFrom, writtenFrom, out);
  out.gone = remover.remove(parent->get(), relative.filename().string(), relative,
                            FileIdentity::from(listed));
  return out;
}

GuardedRemoval CheckedFolder::removeVerified(const fs::path& relative, const fs::path& keptRoot,
                                             const ReplaceGuard& guard) const {
  auto parent = openParent(fd_, relative);
  if (!parent) {
    GuardedRemoval out;
    out.failed.push_back(".: " +
                         std::error_code(parent.error(), std::generic_category()).message());
    return out;
  }
  return removeVerifiedTreeAt(parent->get(), relative.filename().string(), keptRoot, guard);
}

bool CheckedFolder::stillAt() const {
  struct stat opened {
  }, named{};
  return fstat(fd_, &opened) == 0 && lstat(path_.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

std::error_code CheckedFolder::renameTo(const fs::path& relative, const fs::path& target) const {
  auto parent = openParent(fd_, relative);
  if (!parent) return {parent.error(), std::generic_category()};
  if (renameat(parent->get(), relative.filename().c_str(), AT_FDCWD, target.c_str()) != 0) {
    return {errno, std::generic_category()};
  }
  return {};
}

}  // namespace brimvale::service
