// Calls whose failure does not stop the work (a stale record, a leftover
// temporary file) still leave a trace: one stamped line in a diagnostics log
// kept apart from the logs people read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "common/base/error.h"
#include "common/base/timestamps.h"

namespace brimvale {

// An append-only log of failures nobody had to act on. It never grows past
// its cap: the full file moves to "{file}.1" (replacing the older one) and a
// new one starts. Writing never fails the caller; a log that cannot be
// written loses the line.
class DiagnosticsLog {
 public:
  static constexpr std::uintmax_t kDefaultCap = 1 << 20;

  explicit DiagnosticsLog(std::filesystem::path file, WallClock clock = systemClock(),
                          std::uintmax_t cap = kDefaultCap)
      : file_(std::move(file)), clock_(std::move(clock)), cap_(cap) {}

  // Appends "{ts}  {what}: {error id}: {detail}"; a newline in any part is
  // written as "\n" so one failure is always one line.
  void note(std::string_view what, const Error& error) const noexcept;

  [[nodiscard]] const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
  WallClock clock_;
  std::uintmax_t cap_;
};

// Lets a failed `result` pass after noting it as `what` (what was being
// done, e.g. "removing the copy"); true when the call succeeded.
template <class T>
bool bestEffort(const Result<T>& result, const DiagnosticsLog& log, std::string_view what) {
  if (result) return true;
  log.note(what, result.error());
  return false;
}

// The same for the calls that report a system error code.
bool bestEffort(std::error_code ec, const DiagnosticsLog& log, std::string_view what);

}  // namespace brimvale
