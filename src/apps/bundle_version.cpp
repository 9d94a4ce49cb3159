#include "apps/bundle_version.h"

#include "apps/plist_file.h"

namespace brimvale::apps {

namespace fs = std::filesystem;

std::string BundleVersion::text() const {
  if (shortVersion.empty()) return buildVersion;
  if (buildVersion.empty() || buildVersion == shortVersion) return shortVersion;
  return shortVersion + " (" + buildVersion + ")";
}

std::optional<BundleVersion> readBundleVersion(const fs::path& bundle) {
  const auto dict = readPlistDict(bundle / "Contents/Info.plist");
  if (!dict) return std::nullopt;
  BundleVersion v;
  v.shortVersion = plistString(dict.get(), "CFBundleShortVersionString").value_or("");
  v.buildVersion = plistString(dict.get(), "CFBundleVersion").value_or("");
  return v;
}

}  // namespace brimvale::apps
