// The application's diagnostic log (the platform's unified log here):
// stamped lines appended to ~/.brimvale/brimvale.log, and echoed to a
// stream while the application runs in the foreground.
#pragma once

#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>

#include "common/base/timestamps.h"
#include "platform/notification_center.h"

namespace brimvale::app {

class AppLog {
 public:
  // `echo` may be null. Both must outlive the log.
  AppLog(std::filesystem::path file, WallClock clock, std::ostream* echo)
      : file_(std::move(file)), clock_(std::move(clock)), echo_(echo) {}

  // Appends "{YYYY-mm-dd HH:MM:SS}  {line}"; failures to write are ignored so
  // logging never stops the work being logged. Safe from any thread.
  void write(const std::string& line);
  // A sink for engines that log through platform::LogSink.
  [[nodiscard]] platform::LogSink sink() {
    return [this](const std::string& line) { write(line); };
  }

 private:
  std::filesystem::path file_;
  WallClock clock_;
  std::ostream* echo_;
  std::mutex mutex_;
};

}  // namespace brimvale::app
