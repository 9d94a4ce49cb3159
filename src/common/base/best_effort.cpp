#include "common/base/best_effort.h"

#include <string>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

void appendEscaped(std::string& line, std::string_view text) {
  for (char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else {
      line += c;
    }
  }
}

}  // namespace

void DiagnosticsLog::note(std::string_view what, const Error& error) const noexcept {
  try {
    std::string line = ts(clock_()) + "  ";
    appendEscaped(line, what);
    line += ": ";
    line += error.id();
    line += ": ";
    appendEscaped(line, error.detail);
    line += "\n";
    // Failures here have nowhere left to be reported: the line is lost.
    if (fileSize(file_).value_or(0) >= cap_) (void)renamePath(file_, fs::path(file_) += ".1");
    (void)appendToFile(file_, line);
  } catch (...) {
    // Out of memory while building the line: the trace is lost, the caller goes on.
  }
}

bool bestEffort(std::error_code ec, const DiagnosticsLog& log, std::string_view what) {
  if (!ec) return true;
  Error error = errnoError(what, ec.value());
  error.detail = ec.message();
  log.note(what, error);
  return false;
}

}  // namespace brimvale
