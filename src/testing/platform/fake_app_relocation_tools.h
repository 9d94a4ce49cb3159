// Tests only: app relocation tools that copy with std::filesystem, keep the
// relocation marks in memory, and record every call, so app-mover tests can
// make any tool step fail or time out and answer the administrator prompt.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/app_relocation_tools.h"

namespace brimvale::platform::testing {

class FakeAppRelocationTools : public AppRelocationTools {
 public:
  // Every call as "method shortName-or-path", in order.
  std::vector<std::string> calls;
  // Short names whose step fails (exit 1, detail "<shortName> refused").
  std::set<std::string> failing;
  // Short names whose step overruns its deadline.
  std::set<std::string> timingOut;
  // Runs after a successful copy, e.g. to damage the copy on purpose.
  std::function<void(const std::string& destination)> afterCopy;
  // Paths carrying the download-quarantine mark.
  std::set<std::string> quarantined;
  // Relocation marks by the canonical path of what was marked.
  std::map<std::string, std::string> marks;
  // Answers the administrator prompt; unset: kFailed "no administrator".
  std::function<PrivilegedResult(const std::string& commandLine)> privileged;

  ToolStep copyBundle(const std::string& source, const std::string& destination,
                      const std::string& shortName, std::chrono::seconds deadline,
                      const BundleCopyObserver& onProgress) override {
    calls.push_back("copyBundle " + shortName);
    if (auto failure = scripted(shortName, deadline)) return std::unexpected(*failure);
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(destination, ec))) {
      return std::unexpected(
          ToolFailure{ToolFailure::Kind::kExited, shortName, 1, destination + " exists", {}});
    }
    std::filesystem::copy(
        source, destination,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
        ec);
    if (ec) {
      return std::unexpected(
          ToolFailure{ToolFailure::Kind::kExited, shortName, 1, ec.message(), {}});
    }
    keepTimes(source, destination);
    if (onProgress) onProgress(BundleCopyProgress{});
    if (afterCopy) afterCopy(destination);
    return {};
  }
  ToolStep registerApp(const std::string& path, const std::string& shortName) override {
    return step("registerApp " + path, shortName);
  }
  ToolStep reindex(const std::string& path, const std::string& shortName) override {
    return step("reindex " + path, shortName);
  }
  ToolStep refreshDock(const std::string& shortName) override {
    return step("refreshDock", shortName);
  }
  ToolStep spotlightCheck(const std::string& path, const std::string& shortName) override {
    return step("spotlightCheck " + path, shortName);
  }
  bool hasDownloadQuarantine(const std::string& path) override {
    return quarantined.contains(path);
  }
  void clearDownloadQuarantine(const std::string& root) override {
    calls.push_back("clearDownloadQuarantine " + root);
    std::erase_if(quarantined, [&](const std::string& p) { return p.starts_with(root); });
  }
  std::error_code setRelocationMark(const std::string& link, const std::string& value) override {
    std::error_code ec;
    const auto target = std::filesystem::canonical(link, ec);
    if (ec) return ec;
    marks[target.string()] = value;
    return {};
  }
  std::optional<std::string> relocationMark(const std::string& path) override {
    std::error_code ec;
    const auto target = std::filesystem::canonical(path, ec);
    if (ec) return std::nullopt;
    auto it = marks.find(target.string());
    if (it == marks.end()) return std::nullopt;
    return it->second;
  }
  PrivilegedResult runPrivileged(const std::string& commandLine) override {
    calls.push_back("runPrivileged " + commandLine);
    if (!privileged) return {PrivilegedOutcome::kFailed, "no administrator"};
    return privileged(commandLine);
  }

 protected:
  // The real tools keep modification times; std::filesystem::copy does not.
  // Folders last, so setting their children's times does not change theirs.
  static void keepTimes(const std::string& source, const std::string& destination) {
    namespace fs = std::filesystem;
    std::vector<std::string> relative{""};
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(source, ec))) {
      for (fs::recursive_directory_iterator it(source, ec), end; !ec && it != end;
           it.increment(ec)) {
        relative.push_back(it->path().lexically_relative(source).string());
      }
    }
    for (auto rel = relative.rbegin(); rel != relative.rend(); ++rel) {
      const auto from = rel->empty() ? fs::path(source) : fs::path(source) / *rel;
      const auto to = rel->empty() ? fs::path(destination) : fs::path(destination) / *rel;
      struct stat st {};
      if (::lstat(from.c_str(), &st) != 0) continue;
      const struct timespec times[2] = {st.st_atim, st.st_mtim};
      ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
  }

 private:
  std::optional<ToolFailure> scripted(const std::string& shortName, std::chrono::seconds deadline) {
    if (timingOut.contains(shortName)) {
      return ToolFailure{ToolFailure::Kind::kTimedOut, shortName, 0, {}, deadline};
    }
    if (failing.contains(shortName)) {
      return ToolFailure{ToolFailure::Kind::kExited, shortName, 1, shortName + " refused", {}};
    }
    return std::nullopt;
  }
  ToolStep step(const std::string& call, const std::string& shortName) {
    calls.push_back(call + " " + shortName);
    if (auto failure = scripted(shortName, std::chrono::seconds{0})) {
      return std::unexpected(*failure);
    }
    return {};
  }
};

}  // namespace brimvale::platform::testing
