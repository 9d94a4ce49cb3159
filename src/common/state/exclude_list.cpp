#include "common/state/exclude_list.h"

#include <fnmatch.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "common/state/config_keys.h"

namespace brimvale {
namespace fs = std::filesystem;

namespace {

// The folder an entry names, or nothing when it names no place.
std::optional<fs::path> excludedFolder(const std::string& entry, const fs::path& home) {
  std::string rest;
  if (entry == "~" || entry.starts_with("~/")) {
    rest = entry.substr(1);
  } else if (entry == "$HOME" || entry.starts_with("$HOME/")) {
    rest = entry.substr(5);
  } else if (entry.starts_with("${HOME}")) {
    rest = entry.substr(7);
  } else if (entry.starts_with('/')) {
    return fs::path(entry).lexically_normal();
  } else {
    return std::nullopt;
  }
  if (home.empty()) return std::nullopt;
  return fs::path(home.string() + rest).lexically_normal();
}

bool isBelowOrSame(const fs::path& path, const fs::path& folder) {
  auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  // A trailing slash leaves an empty last name on the folder.
  return f == folder.end() || (std::next(f) == folder.end() && f->empty());
}

std::string sizeWords(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  constexpr std::array kUnits{"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < kUnits.size()) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace

ExcludeList::ExcludeList(const std::vector<std::string>& entries, const fs::path& home) {
  for (const auto& entry : entries) {
    if (entry.empty()) continue;
    if (entry.find('/') == std::string::npos) {
      patterns_.push_back(entry);
    } else if (auto folder = excludedFolder(entry, home)) {
      folders_.push_back(std::move(*folder));
    }
  }
}

ExcludeList ExcludeList::of(const ServiceConfig& cfg, const fs::path& home) {
  return ExcludeList(cfg.array(config_keys::kExcludes), home);
}

bool ExcludeList::matchesName(const fs::path& name) const {
  return std::ranges::any_of(patterns_, [&](const std::string& pattern) {
    return fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
  });
}

bool ExcludeList::excludes(const fs::path& path, const fs::path& within) const {
  const fs::path normal = path.lexically_normal();
  for (const auto& folder : folders_) {
    if (isBelowOrSame(normal, folder)) return true;
  }
  if (patterns_.empty()) return false;
  auto matches = [&](const fs::path& name) { return matchesName(name); };
  if (within.empty() || !isBelowOrSame(normal, within.lexically_normal())) {
    return matches(normal.filename());
  }
  for (const auto& name : normal.lexically_relative(within.lexically_normal())) {
    if (!name.empty() && name != "." && matches(name)) return true;
  }
  return false;
}

bool ExcludeList::holdsMatchingName(const fs::path& folder) const {
  std::error_code ec;
  if (patterns_.empty() || !fs::is_directory(fs::symlink_status(folder, ec))) return false;
  fs::recursive_directory_iterator it(folder, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    if (matchesName(it->path().filename())) return true;
  }
  // A folder that cannot be read through might hold an excluded name: kept.
  return static_cast<bool>(ec);
}

bool ExcludeList::keeps(const fs::path& path, const fs::path& within) const {
  const fs::path normal = path.lexically_normal();
  return excludes(normal, within) ||
         std::ranges::any_of(
             folders_, [&](const fs::path& folder) { return isBelowOrSame(folder, normal); }) ||
         holdsMatchingName(normal);
}

std::string keptByExcludesLine(const KeptByExcludes& kept) {
  return "Kept by your excludes: " + std::to_string(kept.items) +
         (kept.items == 1 ? " item, " : " items, ") + sizeWords(kept.bytes);
}

}  // namespace brimvale
