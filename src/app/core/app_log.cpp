#include "app/core/app_log.h"

#include "common/base/file_io.h"

namespace brimvale::app {

void AppLog::write(const std::string& line) {
  append(line);
  std::lock_guard lock(mutex_);
  if (echo_) *echo_ << line << std::endl;
}

void AppLog::append(const std::string& line) {
  std::lock_guard lock(mutex_);
  (void)appendToFile(file_, ts(clock_()) + "  " + line + "\n");
}

}  // namespace brimvale::app
