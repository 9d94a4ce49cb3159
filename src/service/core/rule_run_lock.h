// One rule run at a time per home folder. Every command that archives or
// deletes by rule or category (relocate-now, free-space, clean-app-caches,
// reclaim, the watch loop's daily run) and rollback hold state/rules.lock
// while they work, so two runs never take the same items or archive targets
// at once, and a rollback never meets a run that starts a new batch.
#pragma once

#include <chrono>
#include <expected>
#include <string>

#include "common/base/file_lock.h"
#include "common/state/paths.h"

namespace brimvale::service {

// How long a second run waits for the first before it gives up.
inline constexpr std::chrono::milliseconds kRuleRunWait{5000};

class RuleRunLock {
 public:
  // Takes the lock, waiting up to `wait` while another process holds it. The
  // error is a complete sentence for the user (naming the holder's process
  // id when it is known); nothing was changed when it is returned. The lock
  // is released when the object is destroyed or the process ends, even by a
  // kill, and is never passed on to child processes.
  [[nodiscard]] static std::expected<RuleRunLock, std::string> acquire(
      const StatePaths& paths, std::chrono::milliseconds wait = kRuleRunWait);

  RuleRunLock(RuleRunLock&&) noexcept = default;
  RuleRunLock& operator=(RuleRunLock&&) = delete;

  [[nodiscard]] static std::filesystem::path file(const StatePaths& paths) {
    return paths.state / "rules.lock";
  }

 private:
  explicit RuleRunLock(FileLock lock) : lock_(std::move(lock)) {}
  FileLock lock_;
};

}  // namespace brimvale::service
