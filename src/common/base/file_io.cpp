#include "common/base/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdio.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "common/base/stop_point.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t w = write(fd, data.data(), data.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(w));
  }
  return true;
}

constexpr std::string_view kTempMarker = ".tmp.";

// Writes the whole content to a fresh `temp`, durable unless kRebuilt; the
// temporary file is removed again on failure.
Result<void> writeTemporary(const fs::path& temp, std::string_view content, mode_t mode,
                            Durability durability = Durability::kFlushed) {
  Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (fd.get() < 0) return std::unexpected(errnoError("create " + temp.string(), errno));
  auto abandon = [&](std::string_view what) {
    int err = errno;
    close(fd.release());
    unlink(temp.c_str());
    return std::unexpected(errnoError(std::string(what) + " " + temp.string(), err));
  };
  if (!writeAll(fd.get(), content)) return abandon("write");
  if (durability == Durability::kFlushed && fsync(fd.get()) != 0) return abandon("fsync");
  if (close(fd.release()) != 0) {
    int err = errno;
    unlink(temp.c_str());
    return std::unexpected(errnoError("close " + temp.string(), err));
  }
  return {};
}

void syncFolderOf(const fs::path& path) {
  fs::path dir = path.parent_path();
  Fd dirFd(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() >= 0) fsync(dirFd.get());
}

}  // namespace

fs::path temporarySibling(const fs::path& path, pid_t pid) {
  return path.string() + std::string(kTempMarker) + std::to_string(pid);
}

fs::path temporarySibling(const fs::path& path) { return temporarySibling(path, getpid()); }

std::optional<pid_t> temporarySiblingPid(std::string_view fileName) {
  const std::size_t at = fileName.rfind(kTempMarker);
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  const std::string_view digits = fileName.substr(at + kTempMarker.size());
  pid_t pid = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

Result<void> writeFileAtomically(const fs::path& path, std::string_view content,
                                 const AtomicWriteOptions& options) {
  const fs::path temp = options.tempPath.empty() ? temporarySibling(path) : options.tempPath;
  if (auto written = writeTemporary(temp, content, options.mode, options.durability); !written) {
    return written;
  }
  stopPoint("atomic-write:temp-written");
  if (rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    unlink(temp.c_str());
    return std::unexpected(errnoError("rename to " + path.string(), err));
  }
  if (options.durability == Durability::kFlushed) syncFolderOf(path);
  return {};
}

Result<fs::path> writeNewFile(const fs::path& path, std::string_view content, mode_t mode) {
  const fs::path temp = temporarySibling(path);
  if (auto written = writeTemporary(temp, content, mode); !written) {
    return std::unexpected(written.error());
  }
  stopPoint("atomic-write:temp-written");
  // link() never replaces an existing name, unlike rename(): the first free
  // name is taken by this file alone.
  constexpr int kMaxSuffix = 10000;
  for (int n = 0; n <= kMaxSuffix; ++n) {
    const fs::path name = n == 0 ? path : fs::path(path.string() + "." + std::to_string(n));
    if (link(temp.c_str(), name.c_str()) == 0) {
      unlink(temp.c_str());
      syncFolderOf(name);
      return name;
    }
    if (errno != EEXIST) {
      const int err = errno;
      unlink(temp.c_str());
      return std::unexpected(errnoError("link " + temp.string() + " to " + name.string(), err));
    }
  }
  unlink(temp.c_str());
  return fail(Errc::kIo, "every name from " + path.string() + " to ." + std::to_string(kMaxSuffix) +
                             " is taken");
}

Result<std::string> readFile(const fs::path& path) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::unexpected(errnoError("open " + path.string(), errno));
  std::string out;
  char buf[65536];
  while (true) {
    ssize_t r = read(fd.get(), buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errnoError("read " + path.string(), errno));
    }
    if (r == 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

Result<void> appendToFile(const fs::path& path, std::string_view bytes) {
  Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (fd.get() < 0) return std::unexpected(errnoError("open " + path.string(), errno));
  if (!writeAll(fd.get(), bytes))
    return std::unexpected(errnoError("append " + path.string(), errno));
  return {};
}

Result<void> touchFile(const fs::path& path) {
  Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (fd.get() < 0) return std::unexpected(errnoError("create " + path.string(), errno));
  return {};
}

std::vector<std::string> readLastLines(const fs::path& path, std::size_t count) {
  std::vector<std::string> lines;
  if (count == 0) return lines;
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return lines;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return lines;
  off_t end = st.st_size;
  // Read backwards in blocks until count+1 newlines (or the start) are seen.
  std::string tail;
  const off_t kBlock = 65536;
  off_t pos = end;
  std::size_t newlines = 0;
  while (pos > 0 && newlines <= count) {
    off_t len = std::min(kBlock, pos);
    pos -= len;
    std::string block(static_cast<std::size_t>(len), '\0');
    ssize_t r = pread(fd.get(), block.data(), block.size(), pos);
    if (r != len) return lines;
    newlines += static_cast<std::size_t>(std::count(block.begin(), block.end(), '\n'));
    tail.insert(0, block);
  }
  if (!tail.empty() && tail.back() == '\n') tail.pop_back();
  if (tail.empty() && pos == 0) return lines;
  std::size_t stop = tail.size();
  while (lines.size() < count) {
    std::size_t nl = stop == 0 ? std::string::npos : tail.rfind('\n', stop - 1);
    std::size_t begin = nl == std::string::npos ? 0 : nl + 1;
    lines.push_back(tail.substr(begin, stop - begin));
    if (nl == std::string::npos) break;
    stop = nl;
  }
  std::reverse(lines.begin(), lines.end());
  return lines;
}

std::error_code createExclusively(const fs::path& path, ClaimKind kind) {
  if (kind == ClaimKind::kFolder) {
    if (::mkdir(path.c_str(), 0700) == 0) return {};
  } else if (const int fd =
                 ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
             fd >= 0) {
    ::close(fd);
    return {};
  }
  return {errno, std::system_category()};
}

std::error_code renameNoReplace(const fs::path& from, const fs::path& to) {
#if defined(__linux__)
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno != EINVAL && errno != ENOSYS) return {errno, std::generic_category()};
#elif defined(__APPLE__)
  if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) return {};
  if (errno != ENOTSUP) return {errno, std::generic_category()};
#endif
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return {EEXIST, std::generic_category()};
  if (::rename(from.c_str(), to.c_str()) == 0) return {};
  return {errno, std::generic_category()};
}

}  // namespace brimvale
