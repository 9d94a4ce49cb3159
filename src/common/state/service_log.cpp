#include "common/state/service_log.h"

#include <string>

#include "common/base/file_io.h"

namespace brimvale {

void ServiceLog::log(std::string_view message) const {
  std::string line = ts(clock_());
  line += "  ";
  line += message;
  line += '\n';
  (void)appendToFile(logFile_, line);
}

void ServiceLog::say(std::string_view message) const {
  out_ << '[' << ts(clock_()) << "] " << message << '\n' << std::flush;
  log(message);
}

}  // namespace brimvale
