// Folders inside the home folder that Brimvale never moves: application data
// that running programs hold open, live credentials, and its own state.
#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale {

struct DenylistEntry {
  enum class Source { kBaseline, kManifest };
  std::string path;  // may begin with "~"
  std::string displayName;
  std::string reason;
  std::optional<std::string> helpAnchor;
  Source source = Source::kBaseline;
};

class AppDataDenylist {
 public:
  explicit AppDataDenylist(std::filesystem::path home);
  // The application folders of the desktop, in their fixed order.
  [[nodiscard]] static const std::vector<DenylistEntry>& baseline();
  // Credential stores, key rings and mail and browser profiles as Linux keeps
  // them; checked right after the baseline on every platform.
  [[nodiscard]] static const std::vector<DenylistEntry>& credentialRows();
  // The first entry whose expanded path is `path` or a folder above it;
  // nothing means allowed. A folder that merely contains one is allowed.
  [[nodiscard]] std::optional<DenylistEntry> verdict(std::string_view path) const;

 private:
  std::filesystem::path home_;
};

}  // namespace brimvale
