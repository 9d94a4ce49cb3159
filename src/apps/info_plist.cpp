#include "apps/info_plist.h"

#include "apps/plist_file.h"

namespace brimvale::apps {
namespace {

std::optional<InfoPlist> infoPlistOf(const PlistTree& root) {
  if (!root) return std::nullopt;
  const auto text = [&](const char* key) { return plistString(root.get(), key).value_or(""); };
  return InfoPlist{
      .displayName = text("CFBundleDisplayName"),
      .bundleName = text("CFBundleName"),
      .identifier = text("CFBundleIdentifier"),
      .executable = text("CFBundleExecutable"),
      .categoryType = text("LSApplicationCategoryType"),
  };
}

}  // namespace

std::optional<InfoPlist> parseInfoPlist(std::string_view bytes) {
  return infoPlistOf(parsePlistDict(bytes));
}

std::optional<InfoPlist> readInfoPlist(const std::filesystem::path& bundle) {
  return infoPlistOf(readPlistDict(bundle / "Contents" / "Info.plist"));
}

}  // namespace brimvale::apps
