// The service log: `log` appends a stamped line to brim-vale.log; `say` also
// prints it for the person or program watching the command.
#pragma once

#include <filesystem>
#include <ostream>
#include <string_view>

#include "common/base/timestamps.h"

namespace brimvale {

class ServiceLog {
 public:
  ServiceLog(std::filesystem::path logFile, WallClock clock, std::ostream& out)
      : logFile_(std::move(logFile)), clock_(std::move(clock)), out_(out) {}

  // Appends "{ts}  {message}\n". A log that cannot be written is not a reason
  // to stop the work being logged, so failures are ignored.
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
};

}  // namespace brimvale
