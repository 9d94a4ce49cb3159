// The versions an app's Info.plist declares, which a move back reports for
// both copies when the vendor reinstalled the app while it lived on the drive.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace brimvale::apps {

struct BundleVersion {
  std::string shortVersion;  // CFBundleShortVersionString
  std::string buildVersion;  // CFBundleVersion
  // "1.2 (345)", or whichever half is known.
  [[nodiscard]] std::string text() const;
};

// Nothing when Contents/Info.plist cannot be read.
[[nodiscard]] std::optional<BundleVersion> readBundleVersion(const std::filesystem::path& bundle);

}  // namespace brimvale::apps
