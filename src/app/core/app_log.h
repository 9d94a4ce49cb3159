// The application's diagnostic log (the platform's unified log here):
// stamped lines appended to ~/.brimvale/brimvale.log. The application's own
// sentences are also echoed to a stream while it runs in the foreground;
// engines' lines, written for whoever reads the log, are not.
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

  // Appends "{YYYY-mm-dd HH:MM:SS}  {line}" and echoes `line`; failures to
  // write are ignored so logging never stops the work being logged. Safe from
  // any thread.
  void write(const std::string& line);
  // A sink for engines that log through platform::LogSink: the file only.
  [[nodiscard]] platform::LogSink sink() {
    return [this](const std::string& line) { append(line); };
  }

 private:
  void append(const std::string& line);

  std::filesystem::path file_;
  WallClock clock_;
  std::ostream* echo_;
  std::mutex mutex_;
};

}  // namespace brimvale::app
