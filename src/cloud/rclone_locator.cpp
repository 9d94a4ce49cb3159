#include "cloud/rclone_locator.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "common/base/text_formats.h"

namespace brimvale::cloud {
namespace fs = std::filesystem;
namespace {

bool isExecutableFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

RcloneSearch defaultRcloneSearch(const std::string& programFolder) {
  RcloneSearch search;
  fs::path folder = programFolder;
  if (folder.empty()) {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return search;
    folder = self.parent_path();
  }
  // The one place ServiceInstaller gives the service as RCLONE.
  search.bundled = {(folder / "Scripts" / "bin" / "rclone").string()};
  return search;
}

std::optional<std::string> locateRclone(const RcloneSearch& search, const ProcessRunner& runner) {
  for (const auto& candidate : search.bundled) {
    if (isExecutableFile(candidate)) return candidate;
  }
  for (const auto& candidate : search.installFolders) {
    if (isExecutableFile(candidate)) return candidate;
  }
  ProcessInvocation which{.path = search.env, .args = {"which", "rclone"}};
  which.deadline = std::chrono::seconds(10);
  const ProcessResult result = runner(which);
  if (result.outcome != ProcessOutcome::kExited) return std::nullopt;
  std::string found = trimmed(result.out);
  if (found.empty()) return std::nullopt;
  return found;
}

std::optional<std::string> rcloneVersion(const std::string& rclone, const ProcessRunner& runner) {
  ProcessInvocation invocation{.path = rclone, .args = {"version"}};
  invocation.deadline = std::chrono::seconds(10);
  const ProcessResult result = runner(invocation);
  if (!result.succeeded()) return std::nullopt;
  const auto lines = splitLines(result.out);
  if (lines.empty()) return std::nullopt;
  return std::string(lines.front());
}

}  // namespace brimvale::cloud
