#include "common/state/gnu_rsync.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <system_error>

#include "common/base/file_calls.h"
#include "common/base/process.h"

namespace brimvale {

// Matches "rsync.*version [34]\." by hand: std::regex recurses per
// character and can exhaust the stack on a long line from a stray program.
bool isGnuRsyncVersionLine(std::string_view firstLine) {
  std::string lower(firstLine);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower.find("openrsync") != std::string::npos) return false;
  std::size_t name = firstLine.find("rsync");
  if (name == std::string_view::npos) return false;
  constexpr std::string_view kVersion = "version ";
  for (std::size_t at = firstLine.find(kVersion, name + 5); at != std::string_view::npos;
       at = firstLine.find(kVersion, at + 1)) {
    std::string_view rest = firstLine.substr(at + kVersion.size());
    if (rest.size() >= 2 && (rest[0] == '3' || rest[0] == '4') && rest[1] == '.') return true;
  }
  return false;
}

bool qualifiesAsGnuRsync(const std::string& path, const ProcessRunner& run) {
  if (path.empty() || path.front() != '/' || !isRegularFile(path).value_or(false) ||
      access(path.c_str(), X_OK) != 0) {
    return false;
  }
  ProcessInvocation invocation;
  invocation.path = path;
  invocation.args = {"--version"};
  invocation.deadline = std::chrono::seconds(5);
  invocation.captureLimit = 64 * 1024;
  ProcessResult result = run(invocation);
  if (result.outcome != ProcessOutcome::kExited) return false;
  std::string_view out = result.out;
  std::string_view firstLine = out.substr(0, out.find('\n'));
  if (firstLine.ends_with('\r')) firstLine.remove_suffix(1);
  return isGnuRsyncVersionLine(firstLine);
}

std::string resolveGnuRsync(const std::string& envRsync, const std::vector<std::string>& candidates,
                            const ProcessRunner& run) {
  if (!envRsync.empty() && qualifiesAsGnuRsync(envRsync, run)) return envRsync;
  for (const std::string& candidate : candidates) {
    if (qualifiesAsGnuRsync(candidate, run)) return candidate;
  }
  return {};
}

}  // namespace brimvale
