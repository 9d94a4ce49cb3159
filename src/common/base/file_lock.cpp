#include "common/base/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <utility>

namespace brimvale {
namespace {

// The case errnoError gives `err`, with the system's reason alone as detail.
Error reasonOf(int err) { return Error{errnoError({}, err).code, std::strerror(err)}; }

}  // namespace

Result<FileLock> FileLock::open(const std::filesystem::path& path) {
  std::error_code ec;
  const int flags = std::filesystem::is_directory(path, ec) ? O_RDONLY | O_DIRECTORY | O_CLOEXEC
                                                            : O_RDWR | O_CREAT | O_CLOEXEC;
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) return std::unexpected(reasonOf(errno));
  return FileLock(fd);
}

Result<bool> FileLock::take(Mode mode, bool wait) {
  if (fd_ < 0) return fail(Errc::kInvalidArgument, "the lock file is not open");
  const int operation = (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
  while (::flock(fd_, operation) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return false;
    return std::unexpected(reasonOf(errno));
  }
  locked_ = true;
  return true;
}

Result<void> FileLock::lock(Mode mode) {
  auto taken = take(mode, true);
  if (!taken) return std::unexpected(taken.error());
  return {};
}

Result<bool> FileLock::tryLock(Mode mode) { return take(mode, false); }

void FileLock::unlock() {
  if (fd_ >= 0 && locked_) ::flock(fd_, LOCK_UN);
  locked_ = false;
}

void FileLock::recordHolder() const {
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_, 0) == 0) (void)!::pwrite(fd_, pid.data(), pid.size(), 0);
}

long FileLock::holder() const {
  char buf[32] = {};
  const ssize_t n = ::pread(fd_, buf, sizeof buf - 1, 0);
  long pid = 0;
  if (n > 0) std::from_chars(buf, buf + n, pid);
  return pid;
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), locked_(std::exchange(other.locked_, false)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

FileLock::~FileLock() { close(); }

void FileLock::close() {
  if (fd_ < 0) return;
  unlock();
  ::close(std::exchange(fd_, -1));
}

}  // namespace brimvale
