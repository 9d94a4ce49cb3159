// The service log: `log` appends a stamped line to brim-vale.log; `say` also
// prints it for the person or program watching the command. The log is rotated
// at a size, keeping one older generation as brim-vale.log.1.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/timestamps.h"

namespace brimvale {

// Past this size the next line starts a fresh log.
inline constexpr std::uintmax_t kServiceLogLimit = 5 * 1024 * 1024;

class ServiceLog {
 public:
  ServiceLog(std::filesystem::path logFile, WallClock clock, std::ostream& out,
             std::uintmax_t limit = kServiceLogLimit)
      : logFile_(std::move(logFile)), clock_(std::move(clock)), out_(out), limit_(limit) {}

  // Appends "{ts}  {message}\n". When the line would take the log past its
  // limit, the log first becomes {log}.1 (replacing the older generation).
  // Writers of several processes take turns on {log}.lock, so a rotation
  // never races an append and no line goes missing. A log that cannot be
  // written is not a reason to stop the work being logged, so failures are
  // ignored.
  void log(std::string_view message) const;
  // Prints "[{ts}] {message}" on the output stream, then logs the message.
  void say(std::string_view message) const;

  [[nodiscard]] const std::filesystem::path& file() const { return logFile_; }
  [[nodiscard]] std::time_t now() const { return clock_(); }
  [[nodiscard]] std::ostream& out() const { return out_; }

 private:
  std::filesystem::path logFile_;
  WallClock clock_;
  std::ostream& out_;
  std::uintmax_t limit_;
};

// The older generation of `logFile`.
[[nodiscard]] std::filesystem::path previousLogGeneration(const std::filesystem::path& logFile);

// The last `count` lines of the log, oldest first, topped up from the older
// generation when the current file has fewer (just after a rotation it has
// none). Missing files count as empty.
[[nodiscard]] std::vector<std::string> lastLogLines(const std::filesystem::path& logFile,
                                                    std::size_t count);

}  // namespace brimvale
