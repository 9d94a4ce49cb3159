// Which of two copies of one app is newer, by the versions their Info.plist
// declare; a move back keeps an app the vendor reinstalled only when it is at
// least as new as the copy on the drive.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale::apps {

struct BundleVersion {
  std::string shortVersion;  // CFBundleShortVersionString
  std::string buildVersion;  // CFBundleVersion
  // "1.2 (345)", or whichever half is known.
  [[nodiscard]] std::string text() const;
};

// Nothing when Contents/Info.plist cannot be read.
[[nodiscard]] std::optional<BundleVersion> readBundleVersion(const std::filesystem::path& bundle);

// <0, 0, >0. Components split at '.', ' ' and '_'; numeric components (a
// leading '+' or '-' allowed) compare as numbers, others as text; a missing
// component counts as 0. Nothing when either text is empty.
[[nodiscard]] std::optional<int> compareVersionTexts(std::string_view a, std::string_view b);

// The short versions decide; the build versions break a tie. Nothing when
// neither pair can be compared.
[[nodiscard]] std::optional<int> compareBundleVersions(const BundleVersion& a,
                                                       const BundleVersion& b);

// Contents/Info.plist reads and names an executable that exists in Contents/MacOS.
[[nodiscard]] bool bundleIsIntact(const std::filesystem::path& bundle);

}  // namespace brimvale::apps
