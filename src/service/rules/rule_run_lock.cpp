#include "service/rules/rule_run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <thread>

namespace brimvale::service {
namespace {

constexpr std::chrono::milliseconds kPoll{50};

// The process id the holder wrote into the lock file; 0 when unreadable.
long holderOf(int fd) {
  char buf[32] = {};
  const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  long pid = 0;
  if (n > 0) std::from_chars(buf, buf + n, pid);
  return pid;
}

}  // namespace

std::expected<RuleRunLock, std::string> RuleRunLock::acquire(const StatePaths& paths,
                                                             std::chrono::milliseconds wait) {
  const std::filesystem::path lockFile = file(paths);
  std::error_code ec;
  std::filesystem::create_directories(lockFile.parent_path(), ec);
  const int fd = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return std::unexpected("The run lock " + lockFile.string() + " couldn't be opened (" +
                           std::strerror(errno) +
                           "), so nothing was archived or deleted. Your files are as they were; "
                           "check the space and permissions of ~/.brimvale and try again.");
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      const std::string why = std::strerror(errno);
      close(fd);
      return std::unexpected("The run lock " + lockFile.string() + " couldn't be taken (" + why +
                             "), so nothing was archived or deleted. Your files are as they "
                             "were; try again.");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      const long holder = holderOf(fd);
      close(fd);
      return std::unexpected(
          "Another rule run or clean-up is already working in this home folder" +
          (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
          ", so this one did not start. Nothing was changed; try again when it has finished.");
    }
    std::this_thread::sleep_for(kPoll);
  }
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) == 0) (void)!pwrite(fd, pid.data(), pid.size(), 0);
  return RuleRunLock(fd);
}

RuleRunLock::~RuleRunLock() {
  if (fd_ < 0) return;
  flock(fd_, LOCK_UN);
  close(fd_);
}

}  // namespace brimvale::service
