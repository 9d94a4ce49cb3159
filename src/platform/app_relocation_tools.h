// What moving an application bundle asks of the operating system: a copy that
// keeps everything a bundle relies on, telling the desktop where the app now
// lives, the download-quarantine and relocation marks, and administrator
// rights for bundles the user cannot change.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "common/base/process.h"

namespace brimvale::platform {

// A tool step that did not succeed. The app mover words it ("ditto failed
// (exit 1): ...", "lsregister timed out after 15s. ..."), so it carries the
// parts, not a sentence.
struct ToolFailure {
  enum class Kind { kTimedOut, kExited, kFailedToStart };
  Kind kind = Kind::kFailedToStart;
  std::string shortName;             // the step's name in errors and logs
  int exitCode = 0;                  // kExited
  std::string detail;                // kExited: standard error; kFailedToStart: why
  std::chrono::seconds deadline{0};  // kTimedOut
};
using ToolStep = std::expected<void, ToolFailure>;

struct BundleCopyProgress {
  std::uint64_t bytesCopied = 0;
  std::uint64_t filesCopied = 0;
};
using BundleCopyObserver = std::function<void(const BundleCopyProgress&)>;

enum class PrivilegedOutcome { kSuccess, kCancelled, kFailed };
struct PrivilegedResult {
  PrivilegedOutcome outcome = PrivilegedOutcome::kFailed;
  std::string detail;  // kFailed: a sentence saying why (no way to ask, exit status, output)
};

class AppRelocationTools {
 public:
  virtual ~AppRelocationTools() = default;

  // Copies the folder (or the single file) `source` to `destination`, which
  // must not exist, keeping modes, times, symbolic links as links, hard links
  // as hard links and extended attributes (macOS: `ditto --rsrc --noqtn`). A copy that
  // fails or overruns `deadline` may leave a partial destination; removing it
  // is the caller's job. `onProgress` (may be empty) is called on the calling
  // thread, a few times a second at most.
  [[nodiscard]] virtual ToolStep copyBundle(const std::string& source,
                                            const std::string& destination,
                                            const std::string& shortName,
                                            std::chrono::seconds deadline,
                                            const BundleCopyObserver& onProgress) = 0;

  // Tells the desktop's application database that an app now lives at `path`
  // (`lsregister -f`; Linux: refreshes the desktop database where the tool
  // exists, else logs that there is nothing to refresh).
  [[nodiscard]] virtual ToolStep registerApp(const std::string& path,
                                             const std::string& shortName) = 0;
  // Asks the search index to read `path` again (`mdimport -i`; Linux: nothing
  // to ask, logged).
  [[nodiscard]] virtual ToolStep reindex(const std::string& path, const std::string& shortName) = 0;
  // Makes the Dock re-read its items (`killall Dock`; Linux: logged no-op).
  [[nodiscard]] virtual ToolStep refreshDock(const std::string& shortName) = 0;
  // Checks that the search index answers for `path` (`mdls -name
  // kMDItemCFBundleIdentifier`; Linux: `path` leads to a readable folder).
  [[nodiscard]] virtual ToolStep spotlightCheck(const std::string& path,
                                                const std::string& shortName) = 0;

  // Whether `path` carries the download-quarantine mark (macOS
  // `com.apple.quarantine`; Linux keeps none, so false).
  [[nodiscard]] virtual bool hasDownloadQuarantine(const std::string& path) = 0;
  // Removes that mark from `root` and everything below it; failures ignored.
  virtual void clearDownloadQuarantine(const std::string& root) = 0;
  // Sets the relocation mark (macOS `com.brimvale.relocated`, Linux
  // `user.brimvale.relocated`) to `value` on what `link` points at.
  [[nodiscard]] virtual std::error_code setRelocationMark(const std::string& link,
                                                          const std::string& value) = 0;
  // The relocation mark of what `path` leads to; nothing when it has none.
  [[nodiscard]] virtual std::optional<std::string> relocationMark(const std::string& path) = 0;

  // Runs `commandLine` as the administrator. Every path in it must already be
  // single-quoted by the caller; this adds `; echo "__BVX__:$?"` and reads the
  // status back. macOS: the administrator session (a cancelled password
  // prompt is kCancelled). Linux: `pkexec /bin/sh -c`, a dismissed prompt
  // (exit 126) kCancelled; without pkexec kFailed with a sentence saying so.
  [[nodiscard]] virtual PrivilegedResult runPrivileged(const std::string& commandLine) = 0;
};

// Receives the lines the tools log (the Linux no-ops say what they skipped).
using ToolLog = std::function<void(const std::string&)>;

// The tools of the platform this program was built for, run through `run`.
[[nodiscard]] std::unique_ptr<AppRelocationTools> makeHostAppRelocationTools(ToolLog log,
                                                                             ProcessRunner run);

}  // namespace brimvale::platform
