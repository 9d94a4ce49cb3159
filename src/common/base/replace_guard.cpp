#include "common/base/replace_guard.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace brimvale {
namespace {

using SystemClock = std::chrono::system_clock;

// The kernel stamps files from a clock that moves in ticks of up to 10 ms;
// five ticks leave room for a slow tick and a late reader.
constexpr std::chrono::nanoseconds kFineGranularity = std::chrono::milliseconds(50);
// FAT keeps modification times to 2 s; anything not known is treated alike.
constexpr std::chrono::nanoseconds kCoarseGranularity = std::chrono::seconds(2);

// File systems whose time stamps come from the kernel's clock in nanoseconds.
constexpr std::array<long, 9> kFineFileSystems{
    EXT4_SUPER_MAGIC,      TMPFS_MAGIC,           XFS_SUPER_MAGIC,
    BTRFS_SUPER_MAGIC,     F2FS_SUPER_MAGIC,      0x2fc12fc1 /* zfs */,
    OVERLAYFS_SUPER_MAGIC, 0x01021997 /* v9fs */, RAMFS_MAGIC,
};

std::int64_t nanos(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t nanos(SystemClock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Reads until `size` bytes or the end; -1 on a read error.
ssize_t readFull(int fd, char* buf, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = read(fd, buf + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

struct GuardFd {
  int fd = -1;
  ~GuardFd() {
    if (fd >= 0) close(fd);
  }
};

// Both files read in step and compared; false at the first difference or a
// read error. Non-blocking opens so a file swapped for a pipe cannot stall us.
std::optional<bool> sameBytes(int dirA, const std::string& a, const FileIdentity& idA, int dirB,
                              const std::string& b, const FileIdentity& idB) {
  GuardFd fa{openat(dirA, a.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  GuardFd fb{openat(dirB, b.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (fa.fd < 0 || fb.fd < 0) return std::nullopt;
  struct stat sa {
  }, sb{};
  // What was opened must be what was examined: a swap in between is a change.
  if (fstat(fa.fd, &sa) != 0 || fstat(fb.fd, &sb) != 0) return std::nullopt;
  if (sa.st_dev != idA.device || sa.st_ino != idA.inode || sb.st_dev != idB.device ||
      sb.st_ino != idB.inode)
    return false;
  posix_fadvise(fa.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  posix_fadvise(fb.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  constexpr std::size_t kChunk = 256 * 1024;
  auto bufA = std::make_unique<char[]>(kChunk);
  auto bufB = std::make_unique<char[]>(kChunk);
  while (true) {
    const ssize_t na = readFull(fa.fd, bufA.get(), kChunk);
    const ssize_t nb = readFull(fb.fd, bufB.get(), kChunk);
    if (na < 0 || nb < 0) return std::nullopt;
    if (na != nb || std::memcmp(bufA.get(), bufB.get(), static_cast<std::size_t>(na)) != 0)
      return false;
    if (na == 0) return true;
  }
}

// Modification times as the copy tool leaves them: equal, or within the
// kept side's granularity where that file system cannot hold them finer.
bool sameTime(const FileIdentity& doomed, const FileIdentity& kept,
              std::chrono::nanoseconds keptGranularity) {
  const std::int64_t apart =
      doomed.mtimeNs > kept.mtimeNs ? doomed.mtimeNs - kept.mtimeNs : kept.mtimeNs - doomed.mtimeNs;
  if (keptGranularity <= kFineGranularity) return apart == 0;
  return apart <= keptGranularity.count();
}

std::optional<std::string> linkTarget(int dirfd, const std::string& name) {
  std::array<char, 4096> buf{};
  const ssize_t n = readlinkat(dirfd, name.c_str(), buf.data(), buf.size());
  if (n < 0 || static_cast<std::size_t>(n) == buf.size()) return std::nullopt;
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

}  // namespace

FileIdentity FileIdentity::from(const struct stat& st) {
  return FileIdentity{st.st_dev,  st.st_ino,         st.st_mode,
                      st.st_size, nanos(st.st_mtim), nanos(st.st_ctim)};
}

std::optional<FileIdentity> identityAt(int dirfd, const std::string& name) {
  struct stat st {};
  if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return FileIdentity::from(st);
}

std::chrono::nanoseconds timeGranularity(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return kCoarseGranularity;
  for (long type : kFineFileSystems) {
    if (static_cast<long>(fs.f_type) == type) return kFineGranularity;
  }
  return kCoarseGranularity;
}

std::expected<GuardProof, GuardVerdict> ReplaceGuard::verify(int doomedDir,
                                                             const std::string& doomedName,
                                                             int keptDir,
                                                             const std::string& keptName) const {
  const std::chrono::nanoseconds granularity =
      options_.granularity.count() > 0 ? options_.granularity
      : doomedGranularity_.count() > 0 ? doomedGranularity_
                                       : timeGranularity(doomedDir);
  std::int64_t before = nanos(SystemClock::now());
  auto doomed = identityAt(doomedDir, doomedName);
  if (!doomed)
    return std::unexpected(errno == ENOENT ? GuardVerdict::kChanged : GuardVerdict::kUnreadable);
  // A file written within one tick of this moment could be written again
  // without its stamps moving: wait until that tick is past, then look again.
  if (doomed->ctimeNs >= before - granularity.count()) {
    const std::int64_t wait = doomed->ctimeNs + granularity.count() - before + 1'000'000;
    if (wait > 2 * granularity.count()) return std::unexpected(GuardVerdict::kChanged);
    std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
    before = nanos(SystemClock::now());
    auto again = identityAt(doomedDir, doomedName);
    if (!again || !(*again == *doomed) || again->ctimeNs >= before - granularity.count())
      return std::unexpected(GuardVerdict::kChanged);
  }
  // A mismatch with an original written since the copy began means the copy
  // is out of date, not bad: the caller copies again.
  const bool changedSinceCopy =
      !options_.copyStarted ||
      doomed->ctimeNs >= nanos(*options_.copyStarted) - granularity.count();
  const GuardVerdict mismatch =
      options_.copyStarted && changedSinceCopy ? GuardVerdict::kChanged : GuardVerdict::kDiffers;
  auto kept = identityAt(keptDir, keptName);
  if (!kept) return std::unexpected(mismatch);
  if ((doomed->mode & S_IFMT) != (kept->mode & S_IFMT) || S_ISDIR(doomed->mode))
    return std::unexpected(mismatch);

  if (S_ISLNK(doomed->mode)) {
    auto a = linkTarget(doomedDir, doomedName), b = linkTarget(keptDir, keptName);
    if (!a || !b) return std::unexpected(GuardVerdict::kUnreadable);
    if (*a != *b) return std::unexpected(mismatch);
  } else if (S_ISREG(doomed->mode)) {
    if (doomed->size != kept->size) return std::unexpected(mismatch);
    if (options_.alwaysCompareBytes || changedSinceCopy) {
      auto same = sameBytes(doomedDir, doomedName, *doomed, keptDir, keptName, *kept);
      if (!same) return std::unexpected(GuardVerdict::kUnreadable);
      if (!*same) return std::unexpected(mismatch);
    } else {
      const std::chrono::nanoseconds keptGranularity =
          options_.granularity.count() > 0 ? options_.granularity
          : keptGranularity_.count() > 0   ? keptGranularity_
                                           : timeGranularity(keptDir);
      if (!sameTime(*doomed, *kept, keptGranularity)) return std::unexpected(mismatch);
      // Judged by its stat alone: nothing was read that could have changed
      // meanwhile, and confirm() looks at the file afresh before it goes.
      return GuardProof{*doomed, *kept, true};
    }
  }
  // Whatever was read must still be what was examined before reading.
  auto after = identityAt(doomedDir, doomedName);
  if (!after || !(*after == *doomed)) return std::unexpected(GuardVerdict::kChanged);
  return GuardProof{*doomed, *kept};
}

ReplaceGuard ReplaceGuard::forFolders(int doomedDir, int keptDir) const {
  ReplaceGuard guard(options_);
  if (options_.granularity.count() == 0) {
    guard.doomedGranularity_ = timeGranularity(doomedDir);
    guard.keptGranularity_ = timeGranularity(keptDir);
  }
  return guard;
}

GuardVerdict ReplaceGuard::confirm(const GuardProof& proof, int doomedDir,
                                   const std::string& doomedName, int keptDir,
                                   const std::string& keptName) const {
  auto doomed = identityAt(doomedDir, doomedName);
  if (!doomed || !(*doomed == proof.doomed)) return GuardVerdict::kChanged;
  auto kept = identityAt(keptDir, keptName);
  if (!kept || !(*kept == proof.kept)) return GuardVerdict::kDiffers;
  return GuardVerdict::kSafe;
}

GuardVerdict ReplaceGuard::check(int doomedDir, const std::string& doomedName, int keptDir,
                                 const std::string& keptName) const {
  auto proof = verify(doomedDir, doomedName, keptDir, keptName);
  if (!proof) return proof.error();
  return confirm(*proof, doomedDir, doomedName, keptDir, keptName);
}

std::string keptAsideName(std::string_view name, SystemClock::time_point when) {
  const std::time_t t = SystemClock::to_time_t(when);
  struct tm utc {};
  gmtime_r(&t, &utc);
  std::array<char, 32> stamp{};
  std::strftime(stamp.data(), stamp.size(), "%Y%m%dT%H%M%SZ", &utc);
  return std::string(name) + ".kept-" + stamp.data();
}

std::expected<std::string, std::error_code> keepAside(int dirfd, const std::string& name) {
  const std::string base = keptAsideName(name, SystemClock::now());
  for (int n = 1; n < 1000; ++n) {
    const std::string candidate = n == 1 ? base : base + "." + std::to_string(n);
    if (renameat2(dirfd, name.c_str(), dirfd, candidate.c_str(), RENAME_NOREPLACE) == 0)
      return candidate;
    if (errno != EEXIST) return std::unexpected(std::error_code(errno, std::generic_category()));
  }
  return std::unexpected(std::make_error_code(std::errc::file_exists));
}

}  // namespace brimvale
