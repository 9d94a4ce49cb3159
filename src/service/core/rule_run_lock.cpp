#include "service/core/rule_run_lock.h"

#include <thread>

namespace brimvale::service {
namespace {

constexpr std::chrono::milliseconds kPoll{50};

}  // namespace

std::expected<RuleRunLock, std::string> RuleRunLock::acquire(const StatePaths& paths,
                                                             std::chrono::milliseconds wait) {
  const std::filesystem::path lockFile = file(paths);
  std::error_code ec;
  std::filesystem::create_directories(lockFile.parent_path(), ec);
  auto lock = FileLock::open(lockFile);
  if (!lock) {
    return std::unexpected("The run lock " + lockFile.string() + " couldn't be opened (" +
                           lock.error().detail +
                           "), so nothing was archived or deleted. Your files are as they were; "
                           "check the space and permissions of ~/.brimvale and try again.");
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (true) {
    auto taken = lock->tryLock();
    if (!taken) {
      return std::unexpected("The run lock " + lockFile.string() + " couldn't be taken (" +
                             taken.error().detail +
                             "), so nothing was archived or deleted. Your files are as they "
                             "were; try again.");
    }
    if (*taken) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      const long holder = lock->holder();
      return std::unexpected(
          "Another rule run, clean-up or rollback is already working in this home folder" +
          (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
          ", so this one did not start. Nothing was changed; try again when it has finished.");
    }
    std::this_thread::sleep_for(kPoll);
  }
  lock->recordHolder();
  return RuleRunLock(std::move(*lock));
}

}  // namespace brimvale::service
