// The application's side of `~/.brimvale/rclone-helper`: runs it with a
// deadline and decodes its JSON.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "cloud/rclone_locator.h"
#include "cloud/remote.h"
#include "common/base/error.h"

namespace brimvale::cloud {

inline constexpr std::chrono::seconds kHelperLimit{60};

// The answer of remote-test and remote-remove.
struct HelperVerdict {
  bool ok = false;
  std::string message;
};

class RcloneHelperClient {
 public:
  // `helper` is the installed program, e.g. `{home}/.brimvale/rclone-helper`.
  explicit RcloneHelperClient(std::filesystem::path helper, ProcessRunner runner);

  // Errors: Errc::kLaunchFailed (missing program), Errc::kTimedOut after
  // kHelperLimit, Errc::kToolFailed with the helper's own sentence,
  // Errc::kParse for output that is not the expected JSON.
  [[nodiscard]] Result<std::vector<Remote>> remotesList() const;
  [[nodiscard]] Result<std::vector<RemoteType>> remoteTypes() const;
  [[nodiscard]] Result<HelperVerdict> remoteTest(const std::string& name) const;
  [[nodiscard]] Result<HelperVerdict> remoteRemove(const std::string& name) const;

 private:
  [[nodiscard]] Result<std::string> output(std::vector<std::string> args) const;

  std::filesystem::path helper_;
  ProcessRunner runner_;
};

}  // namespace brimvale::cloud
