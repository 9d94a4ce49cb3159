// The few keys of a bundle's `Contents/Info.plist` the catalogue shows, read
// from either property-list encoding (XML or binary).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brimvale::apps {

struct InfoPlist {
  std::string displayName;   // CFBundleDisplayName
  std::string bundleName;    // CFBundleName
  std::string identifier;    // CFBundleIdentifier
  std::string executable;    // CFBundleExecutable
  std::string categoryType;  // LSApplicationCategoryType

  friend bool operator==(const InfoPlist&, const InfoPlist&) = default;
};

// nullopt when `bytes` is no property list or its top level is no dictionary.
// A key that is missing or not a string is left empty. Never throws, whatever
// the bytes.
[[nodiscard]] std::optional<InfoPlist> parseInfoPlist(std::string_view bytes);

// `{bundle}/Contents/Info.plist`, parsed; nullopt when it is missing,
// unreadable or no property list.
[[nodiscard]] std::optional<InfoPlist> readInfoPlist(const std::filesystem::path& bundle);

}  // namespace brimvale::apps
