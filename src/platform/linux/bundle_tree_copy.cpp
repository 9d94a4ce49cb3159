#include "platform/linux/bundle_tree_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace brimvale::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kProgressInterval = std::chrono::milliseconds(200);
// Large files are copied in pieces so the deadline and progress stay live.
constexpr std::size_t kChunkBytes = 64u << 20;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

class Directory {
 public:
  explicit Directory(DIR* dir) : dir_(dir) {}
  ~Directory() {
    if (dir_) ::closedir(dir_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  [[nodiscard]] DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// One side of an attribute copy: an open descriptor, or a path whose last
// component is not followed (links, FIFOs and device nodes are not opened).
struct AttributeHolder {
  int fd = -1;
  const std::string* path = nullptr;

  ssize_t list(char* names, std::size_t size) const {
    return fd >= 0 ? ::flistxattr(fd, names, size) : ::llistxattr(path->c_str(), names, size);
  }
  ssize_t get(const char* name, void* value, std::size_t size) const {
    return fd >= 0 ? ::fgetxattr(fd, name, value, size)
                   : ::lgetxattr(path->c_str(), name, value, size);
  }
  int set(const char* name, const void* value, std::size_t size) const {
    return fd >= 0 ? ::fsetxattr(fd, name, value, size, 0)
                   : ::lsetxattr(path->c_str(), name, value, size, 0);
  }
};

// Attributes a copy may lose without harm to the bundle: kernel and security
// labels we have no right to write, and access lists on a drive without them.
bool mayLeaveBehind(std::string_view name, int err) {
  if (name.starts_with("trusted.") || name.starts_with("security.")) {
    return err == EPERM || err == EACCES || err == ENOTSUP || err == EINVAL;
  }
  if (name.starts_with("system.posix_acl_")) return err == ENOTSUP;
  return false;
}

// Whether `path` would lie in `folder` or be it, after resolving links.
bool isWithin(const std::string& path, const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path resolvedFolder = std::filesystem::canonical(folder, ec);
  if (ec) return false;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
  if (ec) return false;
  const std::filesystem::path inside = resolved.lexically_relative(resolvedFolder);
  return !inside.empty() && *inside.begin() != "..";
}

class TreeCopier {
 public:
  TreeCopier(const std::string& shortName, std::chrono::seconds deadline,
             const BundleCopyObserver& onProgress)
      : shortName_(shortName),
        deadline_(deadline),
        endBy_(Clock::now() + deadline),
        onProgress_(onProgress),
        root_(::geteuid() == 0),
        euid_(::geteuid()) {}

  ToolStep run(const std::string& source, const std::string& destination) {
    Descriptor from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!from.valid()) {
      const int err = errno;
      if (err == ENOTDIR) return runOnFile(source, destination);
      if (err == ELOOP) return refuse(source + " is a link, so nothing was copied.");
      return failure("open", source, err);
    }
    struct stat st {};
    if (::fstat(from.get(), &st) != 0) return failure("read", source, errno);
    if (isWithin(destination, source)) {
      return refuse(destination + " is inside " + source +
                    ", and a folder can't be copied into itself, so nothing was copied.");
    }
    if (::mkdir(destination.c_str(), 0700) != 0) {
      const int err = errno;
      if (err == EEXIST) {
        return refuse("There's already something at " + destination + ", so nothing was copied.");
      }
      return failure("create", destination, err);
    }
    Descriptor to(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!to.valid()) return failure("open", destination, errno);
    if (!copyFolder(from.get(), to.get(), source, destination, st)) {
      return std::unexpected(*failure_);
    }
    if (onProgress_) onProgress_(progress_);
    return {};
  }

 private:
  // A single file (an app's preferences file, say) is copied like a file
  // inside a folder: contents, mode, times and attributes, never over
  // anything already at `destination`.
  ToolStep runOnFile(const std::string& source, const std::string& destination) {
    Descriptor from(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!from.valid()) {
      const int err = errno;
      if (err == ELOOP) return refuse(source + " is a link, so nothing was copied.");
      return failure("open", source, err);
    }
    struct stat st {};
    if (::fstat(from.get(), &st) != 0) return failure("read", source, errno);
    if (!S_ISREG(st.st_mode)) {
      return refuse(source + " is neither a folder nor a file, so nothing was copied.");
    }
    Descriptor to(
        ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to.valid()) {
      const int err = errno;
      if (err == EEXIST) {
        return refuse("There's already something at " + destination + ", so nothing was copied.");
      }
      return failure("create", destination, err);
    }
    if (!copyData(from.get(), to.get(), source) ||
        !finish(AttributeHolder{.fd = from.get()}, AttributeHolder{.fd = to.get()}, destination,
                st)) {
      return std::unexpected(*failure_);
    }
    ++progress_.filesCopied;
    if (onProgress_) onProgress_(progress_);
    return {};
  }

  // Copies the contents of the open folder `from` into the open folder `to`,
  // then gives `to` the attributes, mode and times of `st`.
  bool copyFolder(int from, int to, const std::string& fromPath, const std::string& toPath,
                  const struct stat& st) {
    const int listFd = ::dup(from);
    if (listFd < 0) return fail("read", fromPath, errno);
    Directory listing(::fdopendir(listFd));
    if (!listing.get()) {
      const int err = errno;
      ::close(listFd);
      return fail("read", fromPath, err);
    }
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(listing.get());
      if (!entry) {
        if (errno != 0) return fail("read", fromPath, errno);
        break;
      }
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (!copyEntry(from, to, name, fromPath + '/' + name, toPath + '/' + name)) return false;
    }
    return finish(AttributeHolder{.fd = from}, AttributeHolder{.fd = to}, toPath, st);
  }

  bool copyEntry(int fromDir, int toDir, const char* name, const std::string& fromPath,
                 const std::string& toPath) {
    if (overran()) return false;
    struct stat st {};
    if (::fstatat(fromDir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return fail("read", fromPath, errno);
    }
    const bool isFolder = S_ISDIR(st.st_mode);
    if (!isFolder && st.st_nlink > 1) {
      const auto key = std::make_pair(st.st_dev, st.st_ino);
      if (auto it = firstLinks_.find(key); it != firstLinks_.end()) {
        if (::linkat(AT_FDCWD, it->second.c_str(), toDir, name, 0) != 0) {
          return fail("link", toPath, errno);
        }
        if (S_ISREG(st.st_mode)) ++progress_.filesCopied;
        return true;
      }
      firstLinks_.emplace(key, toPath);
    }
    bool copied = false;
    if (isFolder) {
      copied = copySubfolder(fromDir, toDir, name, fromPath, toPath, st);
    } else if (S_ISREG(st.st_mode)) {
      copied = copyFile(fromDir, toDir, name, fromPath, toPath, st);
    } else if (S_ISLNK(st.st_mode)) {
      copied = copyLink(fromDir, toDir, name, fromPath, toPath, st);
    } else {
      copied = copyNode(toDir, name, fromPath, toPath, st);
    }
    if (copied) reportProgress();
    return copied;
  }

  bool copySubfolder(int fromDir, int toDir, const char* name, const std::string& fromPath,
                     const std::string& toPath, const struct stat& st) {
    Descriptor from(::openat(fromDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!from.valid()) return fail("open", fromPath, errno);
    // Owner-only until its contents are in: a read-only folder still takes them.
    if (::mkdirat(toDir, name, 0700) != 0) return fail("create", toPath, errno);
    Descriptor to(::openat(toDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!to.valid()) return fail("open", toPath, errno);
    return copyFolder(from.get(), to.get(), fromPath, toPath, st);
  }

  bool copyFile(int fromDir, int toDir, const char* name, const std::string& fromPath,
                const std::string& toPath, const struct stat& st) {
    Descriptor from(::openat(fromDir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!from.valid()) return fail("open", fromPath, errno);
    Descriptor to(
        ::openat(toDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to.valid()) return fail("create", toPath, errno);
    if (!copyData(from.get(), to.get(), fromPath)) return false;
    ++progress_.filesCopied;
    return finish(AttributeHolder{.fd = from.get()}, AttributeHolder{.fd = to.get()}, toPath, st);
  }

  bool copyData(int from, int to, const std::string& fromPath) {
    bool anyCopied = false;
    while (useCopyRange_) {
      const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, kChunkBytes, 0);
      if (n > 0) {
        anyCopied = true;
        progress_.bytesCopied += static_cast<std::uint64_t>(n);
        if (overran()) return false;
        reportProgress();
        continue;
      }
      if (n == 0) return true;
      if (errno == EINTR) continue;
      // Kernels and file systems without in-kernel copies: plain reads and writes.
      const bool unsupported =
          errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL;
      if (anyCopied || !unsupported) return fail("copy", fromPath, errno);
      useCopyRange_ = false;
    }
    if (buffer_.empty()) buffer_.resize(1u << 20);
    for (;;) {
      const ssize_t n = ::read(from, buffer_.data(), buffer_.size());
      if (n == 0) return true;
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail("read", fromPath, errno);
      }
      for (ssize_t written = 0; written < n;) {
        const ssize_t w =
            ::write(to, buffer_.data() + written, static_cast<std::size_t>(n - written));
        if (w < 0) {
          if (errno == EINTR) continue;
          return fail("copy", fromPath, errno);
        }
        written += w;
      }
      progress_.bytesCopied += static_cast<std::uint64_t>(n);
      if (overran()) return false;
      reportProgress();
    }
  }

  bool copyLink(int fromDir, int toDir, const char* name, const std::string& fromPath,
                const std::string& toPath, const struct stat& st) {
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    for (;;) {
      const ssize_t n = ::readlinkat(fromDir, name, target.data(), target.size());
      if (n < 0) return fail("read", fromPath, errno);
      if (static_cast<std::size_t>(n) < target.size()) {
        target.resize(static_cast<std::size_t>(n));
        break;
      }
      target.resize(target.size() * 2);  // the link grew since it was measured
    }
    if (::symlinkat(target.c_str(), toDir, name) != 0) return fail("create", toPath, errno);
    return finishNamed(fromPath, toDir, name, toPath, st, /*isLink=*/true);
  }

  // FIFOs, sockets and device nodes: made anew, never opened.
  bool copyNode(int toDir, const char* name, const std::string& fromPath, const std::string& toPath,
                const struct stat& st) {
    if (::mknodat(toDir, name, (st.st_mode & S_IFMT) | 0600, st.st_rdev) != 0) {
      return fail("create", toPath, errno);
    }
    return finishNamed(fromPath, toDir, name, toPath, st, /*isLink=*/false);
  }

  // Owner, attributes, mode and times of an opened file or folder, in the
  // order that keeps each: a change of owner clears setuid bits and file
  // capabilities, and a read-only mode would refuse later attributes.
  bool finish(const AttributeHolder& from, const AttributeHolder& to, const std::string& toPath,
              const struct stat& st) {
    if (root_ && ::fchown(to.fd, st.st_uid, st.st_gid) != 0)
      return fail("set the owner of", toPath, errno);
    if (!copyAttributes(from, to, toPath)) return false;
    if (::fchmod(to.fd, keptMode(st)) != 0) return fail("set the permissions of", toPath, errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(to.fd, times) != 0) return fail("set the times of", toPath, errno);
    return true;
  }

  bool finishNamed(const std::string& fromPath, int toDir, const char* name,
                   const std::string& toPath, const struct stat& st, bool isLink) {
    if (root_ && ::fchownat(toDir, name, st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
      return fail("set the owner of", toPath, errno);
    }
    if (!copyAttributes(AttributeHolder{.path = &fromPath}, AttributeHolder{.path = &toPath},
                        toPath)) {
      return false;
    }
    // A link has no mode of its own on Linux.
    if (!isLink && ::fchmodat(toDir, name, keptMode(st), 0) != 0) {
      return fail("set the permissions of", toPath, errno);
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(toDir, name, times, AT_SYMLINK_NOFOLLOW) != 0) {
      return fail("set the times of", toPath, errno);
    }
    return true;
  }

  // Not being root, the copy is ours: someone else's setuid bit would make it
  // run as us, so it is dropped (the kernel drops setgid of foreign groups).
  [[nodiscard]] mode_t keptMode(const struct stat& st) const {
    mode_t mode = st.st_mode & 07777;
    if (!root_ && st.st_uid != euid_) mode &= ~mode_t{S_ISUID};
    return mode;
  }

  bool copyAttributes(const AttributeHolder& from, const AttributeHolder& to,
                      const std::string& toPath) {
    ssize_t listed = from.list(names_.data(), names_.size());
    while (listed < 0 && errno == ERANGE) {
      const ssize_t needed = from.list(nullptr, 0);
      if (needed < 0) break;
      names_.resize(static_cast<std::size_t>(needed) + 256);
      listed = from.list(names_.data(), names_.size());
    }
    if (listed < 0) {
      // A source without attributes support has none to copy.
      if (errno == ENOTSUP) return true;
      return fail("list the extended attributes of", toPath, errno);
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
      const char* name = names_.data() + at;
      const std::string_view nameView(name);
      at += nameView.size() + 1;
      if (nameView == kLinuxDownloadQuarantineAttribute) continue;
      ssize_t size = from.get(name, value_.data(), value_.size());
      while (size < 0 && errno == ERANGE) {
        const ssize_t needed = from.get(name, nullptr, 0);
        if (needed < 0) break;
        value_.resize(static_cast<std::size_t>(needed) + 256);
        size = from.get(name, value_.data(), value_.size());
      }
      if (size < 0) {
        if (errno == ENODATA) continue;  // removed since it was listed
        return fail("read the extended attribute " + std::string(nameView) + " for", toPath, errno);
      }
      if (to.set(name, value_.data(), static_cast<std::size_t>(size)) != 0 &&
          !mayLeaveBehind(nameView, errno)) {
        return fail("copy the extended attribute " + std::string(nameView) + " to", toPath, errno);
      }
    }
    return true;
  }

  bool overran() {
    if (Clock::now() < endBy_) return false;
    failure_ = ToolFailure{
        .kind = ToolFailure::Kind::kTimedOut, .shortName = shortName_, .deadline = deadline_};
    return true;
  }

  void reportProgress() {
    if (!onProgress_) return;
    const auto now = Clock::now();
    if (now - lastReport_ < kProgressInterval) return;
    lastReport_ = now;
    onProgress_(progress_);
  }

  bool fail(const std::string& what, const std::string& path, int err) {
    failure_ =
        ToolFailure{.kind = ToolFailure::Kind::kExited,
                    .shortName = shortName_,
                    .exitCode = 1,
                    .detail = "Couldn't " + what + " " + path + ": " + std::strerror(err) + "."};
    return false;
  }
  ToolStep failure(const std::string& what, const std::string& path, int err) {
    fail(what, path, err);
    return std::unexpected(*failure_);
  }
  ToolStep refuse(std::string sentence) {
    return std::unexpected(ToolFailure{.kind = ToolFailure::Kind::kExited,
                                       .shortName = shortName_,
                                       .exitCode = 1,
                                       .detail = std::move(sentence)});
  }

  const std::string& shortName_;
  const std::chrono::seconds deadline_;
  const Clock::time_point endBy_;
  const BundleCopyObserver& onProgress_;
  const bool root_;
  const uid_t euid_;
  Clock::time_point lastReport_ = Clock::now();
  BundleCopyProgress progress_;
  std::optional<ToolFailure> failure_;
  bool useCopyRange_ = true;
  // Where the first name of each multiply linked file was copied to.
  std::map<std::pair<dev_t, ino_t>, std::string> firstLinks_;
  std::vector<char> buffer_;
  std::vector<char> names_ = std::vector<char>(4096);
  std::vector<char> value_ = std::vector<char>(4096);
};

}  // namespace

ToolStep copyBundleTree(const std::string& source, const std::string& destination,
                        const std::string& shortName, std::chrono::seconds deadline,
                        const BundleCopyObserver& onProgress) {
  return TreeCopier(shortName, deadline, onProgress).run(source, destination);
}

}  // namespace brimvale::platform
