// Launchd jobs and privileged helpers installed on this computer that start a program inside
// an app's bundle: such a registration keeps pointing at the original location after a move.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::apps {

// Persisted by its raw text.
enum class HelperKind { kPrivilegedHelper, kLaunchDaemon, kLaunchAgentSystem, kLaunchAgentUser };

[[nodiscard]] std::string_view helperKindRaw(HelperKind kind);

struct HelperToolReference {
  std::filesystem::path plistPath;
  std::string label;
  std::string programPath;
  HelperKind kind = HelperKind::kLaunchAgentUser;

  bool operator==(const HelperToolReference&) const = default;
};

struct HelperFolder {
  std::filesystem::path folder;
  HelperKind kind;
};

// The four folders macOS keeps these registrations in, the last one under `home`.
[[nodiscard]] std::vector<HelperFolder> standardHelperFolders(const std::filesystem::path& home);

class HelperToolScanner {
 public:
  explicit HelperToolScanner(std::vector<HelperFolder> folders) : folders_(std::move(folders)) {}

  // Every `.plist` in the folders (in folder order, then by file name) whose `Program` or one of
  // whose `ProgramArguments` lies inside `bundle` gives one reference per such program path.
  // Unreadable folders and files that are not property lists are passed over.
  [[nodiscard]] std::vector<HelperToolReference> scan(const std::filesystem::path& bundle) const;

 private:
  std::vector<HelperFolder> folders_;
};

}  // namespace brimvale::apps
