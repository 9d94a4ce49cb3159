#include "apps/bundle_version.h"

#include <cctype>
#include <charconv>
#include <system_error>
#include <vector>

#include "apps/info_plist.h"
#include "apps/plist_file.h"

namespace brimvale::apps {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> components(std::string_view text) {
  std::vector<std::string> out;
  std::string current;
  for (char c : text) {
    if (c == '.' || c == ' ' || c == '_') {
      if (!current.empty()) out.push_back(current);
      current.clear();
      continue;
    }
    current += c;
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

std::optional<long long> numberOf(std::string_view part) {
  if (!part.empty() && part.front() == '+') part.remove_prefix(1);
  long long value = 0;
  const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
  if (ec != std::errc{} || end != part.data() + part.size()) return std::nullopt;
  return value;
}

}  // namespace

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

std::optional<int> compareVersionTexts(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return std::nullopt;
  const auto left = components(a);
  const auto right = components(b);
  for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
    const std::string l = i < left.size() ? left[i] : "0";
    const std::string r = i < right.size() ? right[i] : "0";
    const auto ln = numberOf(l);
    const auto rn = numberOf(r);
    if (ln && rn) {
      if (*ln != *rn) return *ln < *rn ? -1 : 1;
      continue;
    }
    if (l != r) return l < r ? -1 : 1;
  }
  return 0;
}

std::optional<int> compareBundleVersions(const BundleVersion& a, const BundleVersion& b) {
  const auto byShort = compareVersionTexts(a.shortVersion, b.shortVersion);
  if (byShort && *byShort != 0) return byShort;
  const auto byBuild = compareVersionTexts(a.buildVersion, b.buildVersion);
  if (byBuild) return byBuild;
  return byShort;
}

bool bundleIsIntact(const fs::path& bundle) {
  const auto info = readInfoPlist(bundle);
  if (!info || info->executable.empty()) return false;
  std::error_code ec;
  return fs::is_regular_file(bundle / "Contents/MacOS" / info->executable, ec);
}

}  // namespace brimvale::apps
