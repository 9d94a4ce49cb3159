// How an app updates itself, decided from facts in and around its bundle, since some updaters
// reinstall to the original folder and silently undo a relocation.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::apps {

// Persisted by its raw text; the numbers never change.
enum class UpdateFramework {
  kNone = 0,
  kSparkle1 = 1,
  kSparkle2App = 2,
  kSparkle2Package = 3,
  kAdobeCCM = 4,
  kMicrosoftMAU = 5,
  kMas = 6,
  kSetapp = 7,
  kBrewCask = 8,
  kCustomSparkle = 9,
  kUnknown = 10,
};

[[nodiscard]] std::string_view updateFrameworkRaw(UpdateFramework framework);
[[nodiscard]] std::optional<UpdateFramework> updateFrameworkFromRaw(std::string_view raw);
// The sentence shown for the framework; empty for `none`.
[[nodiscard]] std::string_view updateFrameworkDescription(UpdateFramework framework);

struct UpdateFrameworkFinding {
  UpdateFramework framework = UpdateFramework::kNone;
  std::map<std::string, std::string> details;
};

// The system folders detection looks at; tests point them into temporary folders.
struct UpdateFrameworkFolders {
  std::filesystem::path adobeDesktopCommon =
      "/Library/Application Support/Adobe/Adobe Desktop Common";
  std::filesystem::path microsoftAutoUpdate = "/Library/Application Support/Microsoft/MAU2.0";
  std::vector<std::filesystem::path> caskrooms = {"/opt/homebrew/Caskroom", "/usr/local/Caskroom"};
  std::filesystem::path setappFolder = "/Applications/Setapp";
};

class UpdateFrameworkDetection {
 public:
  explicit UpdateFrameworkDetection(UpdateFrameworkFolders folders = {})
      : folders_(std::move(folders)) {}

  // First match wins: App Store receipt, Setapp, Adobe, Microsoft AutoUpdate, Homebrew cask,
  // then Sparkle (or a Sparkle-style feed without the framework). Unreadable files count as
  // absent, so a damaged bundle reads as `none` rather than failing.
  [[nodiscard]] UpdateFrameworkFinding detect(const std::filesystem::path& bundle,
                                              std::string_view bundleId) const;

 private:
  [[nodiscard]] std::optional<UpdateFrameworkFinding> brewCask(
      const std::filesystem::path& bundle) const;

  UpdateFrameworkFolders folders_;
};

}  // namespace brimvale::apps
