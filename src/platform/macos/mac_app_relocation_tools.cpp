#include "platform/macos/mac_app_relocation_tools.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "common/base/walk_below.h"
#include "platform/relocation_mark.h"

namespace brimvale::platform {
namespace {

namespace fs = std::filesystem;

// The attribute calls differ from Linux only in their last arguments.
#ifdef __APPLE__
ssize_t readAttribute(const std::string& path, std::string_view name, void* value,
                      std::size_t size) {
  return ::getxattr(path.c_str(), std::string(name).c_str(), value, size, 0, 0);
}
int writeAttribute(const std::string& path, std::string_view name, const std::string& value) {
  return ::setxattr(path.c_str(), std::string(name).c_str(), value.data(), value.size(), 0, 0);
}
void removeAttributeOfEntry(const std::string& path, std::string_view name) {
  ::removexattr(path.c_str(), std::string(name).c_str(), XATTR_NOFOLLOW);
}
#else
ssize_t readAttribute(const std::string& path, std::string_view name, void* value,
                      std::size_t size) {
  return ::getxattr(path.c_str(), std::string(name).c_str(), value, size);
}
int writeAttribute(const std::string& path, std::string_view name, const std::string& value) {
  return ::setxattr(path.c_str(), std::string(name).c_str(), value.data(), value.size(), 0);
}
void removeAttributeOfEntry(const std::string& path, std::string_view name) {
  ::lremovexattr(path.c_str(), std::string(name).c_str());
}
#endif

ToolStep refused(const std::string& shortName, std::string sentence) {
  return std::unexpected(ToolFailure{.kind = ToolFailure::Kind::kExited,
                                     .shortName = shortName,
                                     .exitCode = 1,
                                     .detail = std::move(sentence)});
}

std::chrono::milliseconds asMilliseconds(std::chrono::seconds s) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(s);
}

class MacAppRelocationTools : public AppRelocationTools {
 public:
  MacAppRelocationTools(MacAppToolPaths paths, ProcessRunner run)
      : paths_(std::move(paths)), run_(std::move(run)) {}

  ToolStep copyBundle(const std::string& source, const std::string& destination,
                      const std::string& shortName, std::chrono::seconds deadline,
                      const BundleCopyObserver&) override {
    // ditto would merge into an existing folder.
    struct stat st {};
    if (::lstat(destination.c_str(), &st) == 0) {
      return refused(shortName,
                     "There's already something at " + destination + ", so nothing was copied.");
    }
    if (errno != ENOENT) {
      return refused(shortName, "Couldn't check " + destination + ": " + std::strerror(errno) +
                                    ", so nothing was copied.");
    }
    return tool(paths_.ditto, {"--rsrc", "--noqtn", source, destination}, shortName, deadline);
  }

  ToolStep registerApp(const std::string& path, const std::string& shortName) override {
    return tool(paths_.lsregister, {"-f", path}, shortName, kLsregisterDeadline);
  }
  ToolStep reindex(const std::string& path, const std::string& shortName) override {
    return tool(paths_.mdimport, {"-i", path}, shortName, kMdimportDeadline);
  }
  ToolStep refreshDock(const std::string& shortName) override {
    return tool(paths_.killall, {"Dock"}, shortName, kDockRefreshDeadline);
  }
  ToolStep spotlightCheck(const std::string& path, const std::string& shortName) override {
    return tool(paths_.mdls, {"-name", "kMDItemCFBundleIdentifier", path}, shortName,
                kMdlsDeadline);
  }

  bool hasDownloadQuarantine(const std::string& path) override {
    return readAttribute(path, kMacDownloadQuarantineAttribute, nullptr, 0) >= 0;
  }

  void clearDownloadQuarantine(const std::string& root) override {
    removeAttributeOfEntry(root, kMacDownloadQuarantineAttribute);
    // As far as it can: what cannot be read keeps its mark.
    (void)walkBelow(root, {}, [&](const WalkEntry& e) {
      removeAttributeOfEntry(e.path.string(), kMacDownloadQuarantineAttribute);
      return WalkStep::kContinue;
    });
  }

  std::error_code setRelocationMark(const std::string& link, const std::string& value) override {
    if (writeAttribute(link, kMacRelocationMarkAttribute, value) != 0) {
      return {errno, std::system_category()};
    }
    return {};
  }

  std::optional<std::string> relocationMark(const std::string& path) override {
    const ssize_t size = readAttribute(path, kMacRelocationMarkAttribute, nullptr, 0);
    if (size < 0) return std::nullopt;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t read =
        readAttribute(path, kMacRelocationMarkAttribute, value.data(), value.size());
    if (read < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(read));
    return value;
  }

  PrivilegedResult runPrivileged(const std::string& commandLine) override {
    const ProcessResult result = run_(adminSessionInvocation(
        withStatusEcho(commandLine),
        std::chrono::duration_cast<std::chrono::milliseconds>(kPrivilegedDeadline)));
    if (auto reported = reportedPrivilegedResult(result)) return *reported;
    if (result.outcome == ProcessOutcome::kExited && adminPromptCancelled(result.err)) {
      return {PrivilegedOutcome::kCancelled, {}};
    }
    return unreportedPrivilegedResult(result);
  }

 private:
  ToolStep tool(const std::string& program, std::vector<std::string> args,
                const std::string& shortName, std::chrono::seconds deadline) {
    const ProcessResult result =
        run_({.path = program, .args = std::move(args), .deadline = asMilliseconds(deadline)});
    return toolStepFrom(result, shortName, deadline);
  }

  MacAppToolPaths paths_;
  ProcessRunner run_;
};

}  // namespace

bool adminPromptCancelled(std::string_view osascriptErrors) {
  return osascriptErrors.find("(-128)") != std::string_view::npos;
}

std::unique_ptr<AppRelocationTools> makeMacAppRelocationTools(MacAppToolPaths paths,
                                                              ProcessRunner run) {
  return std::make_unique<MacAppRelocationTools>(std::move(paths), std::move(run));
}

}  // namespace brimvale::platform
