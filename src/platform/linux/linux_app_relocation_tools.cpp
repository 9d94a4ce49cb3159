#include "platform/linux/linux_app_relocation_tools.h"

#include <dirent.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "common/base/folder_walk.h"
#include "common/base/walk_below.h"
#include "platform/linux/bundle_tree_copy.h"
#include "platform/relocation_mark.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;

class LinuxAppRelocationTools : public AppRelocationTools {
 public:
  LinuxAppRelocationTools(LinuxAppToolPaths paths, ToolLog log, ProcessRunner run)
      : paths_(std::move(paths)), log_(std::move(log)), run_(std::move(run)) {}

  ToolStep copyBundle(const std::string& source, const std::string& destination,
                      const std::string& shortName, std::chrono::seconds deadline,
                      const BundleCopyObserver& onProgress) override {
    return copyBundleTree(source, destination, shortName, deadline, onProgress);
  }

  ToolStep registerApp(const std::string& path, const std::string& shortName) override {
    if (paths_.updateDesktopDatabase.empty()) {
      log(shortName + ": no desktop database to refresh for " + path +
          " (update-desktop-database is not installed).");
      return {};
    }
    std::error_code ec;
    if (!fs::is_directory(paths_.applicationsFolder, ec)) {
      log(shortName + ": no desktop database to refresh for " + path + " (there is no " +
          paths_.applicationsFolder.string() + ").");
      return {};
    }
    const ProcessResult result =
        run_({.path = paths_.updateDesktopDatabase,
              .args = {paths_.applicationsFolder.string()},
              .deadline =
                  std::chrono::duration_cast<std::chrono::milliseconds>(kDesktopDatabaseDeadline)});
    return toolStepFrom(result, shortName, kDesktopDatabaseDeadline);
  }

  ToolStep reindex(const std::string& path, const std::string& shortName) override {
    log(shortName + ": nothing to reindex for " + path +
        "; this system keeps no search index to ask.");
    return {};
  }

  ToolStep refreshDock(const std::string& shortName) override {
    log(shortName + ": no dock to refresh on this system.");
    return {};
  }

  ToolStep spotlightCheck(const std::string& path, const std::string& shortName) override {
    if (DIR* dir = ::opendir(path.c_str())) {
      ::closedir(dir);
      return {};
    }
    const int err = errno;
    return std::unexpected(ToolFailure{
        .kind = ToolFailure::Kind::kExited,
        .shortName = shortName,
        .exitCode = 1,
        .detail = path + " doesn't lead to a readable folder: " + std::strerror(err) + "."});
  }

  bool hasDownloadQuarantine(const std::string&) override { return false; }

  void clearDownloadQuarantine(const std::string& root) override {
    const std::string name(kLinuxDownloadQuarantineAttribute);
    ::removexattr(root.c_str(), name.c_str());
    // As far as it can: what cannot be read keeps its mark. Each entry is one
    // call looking up its whole path, so several folders are worked at once.
    (void)walkBelow(root, {.threads = walkThreads()}, [&](const WalkEntry& e) {
      ::lremovexattr(e.path.c_str(), name.c_str());
      return WalkStep::kContinue;
    });
  }

  std::error_code setRelocationMark(const std::string& link, const std::string& value) override {
    const std::string name(kLinuxRelocationMarkAttribute);
    if (::setxattr(link.c_str(), name.c_str(), value.data(), value.size(), 0) != 0) {
      return {errno, std::system_category()};
    }
    return {};
  }

  std::optional<std::string> relocationMark(const std::string& path) override {
    const std::string name(kLinuxRelocationMarkAttribute);
    for (;;) {
      const ssize_t size = ::getxattr(path.c_str(), name.c_str(), nullptr, 0);
      if (size < 0) return std::nullopt;
      std::string value(static_cast<std::size_t>(size), '\0');
      const ssize_t read = ::getxattr(path.c_str(), name.c_str(), value.data(), value.size());
      if (read >= 0) {
        value.resize(static_cast<std::size_t>(read));
        return value;
      }
      if (errno != ERANGE) return std::nullopt;  // ERANGE: it grew in between; measure again
    }
  }

  PrivilegedResult runPrivileged(const std::string& commandLine) override {
    if (paths_.pkexec.empty()) {
      return {PrivilegedOutcome::kFailed,
              "Administrator access isn't available on this computer (pkexec is not "
              "installed), so nothing was changed."};
    }
    const ProcessResult result = run_(
        {.path = paths_.pkexec,
         .args = {"/bin/sh", "-c", withStatusEcho(commandLine)},
         .deadline = std::chrono::duration_cast<std::chrono::milliseconds>(kPrivilegedDeadline)});
    if (auto reported = reportedPrivilegedResult(result)) return *reported;
    // Without the status line the shell never ran: pkexec says why.
    if (result.outcome == ProcessOutcome::kExited && result.exitCode == 126) {
      return {PrivilegedOutcome::kCancelled, {}};
    }
    if (result.outcome == ProcessOutcome::kExited && result.exitCode == 127) {
      return {PrivilegedOutcome::kFailed,
              privilegedFailureSentence("Administrator access wasn't granted (not authorised, or "
                                        "no way to ask), so nothing was changed",
                                        withoutStatusLines(result.err))};
    }
    return unreportedPrivilegedResult(result);
  }

 private:
  void log(const std::string& line) const {
    if (log_) log_(line);
  }

  LinuxAppToolPaths paths_;
  ToolLog log_;
  ProcessRunner run_;
};

}  // namespace

LinuxAppToolPaths installedLinuxAppTools(const fs::path& home) {
  return {.updateDesktopDatabase = findExecutable("update-desktop-database"),
          .pkexec = findExecutable("pkexec"),
          .applicationsFolder = home / ".local" / "share" / "applications"};
}

std::unique_ptr<AppRelocationTools> makeLinuxAppRelocationTools(LinuxAppToolPaths paths,
                                                                ToolLog log, ProcessRunner run) {
  return std::make_unique<LinuxAppRelocationTools>(std::move(paths), std::move(log),
                                                   std::move(run));
}

}  // namespace brimvale::platform
