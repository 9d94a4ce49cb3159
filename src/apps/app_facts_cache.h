// Remembers each bundle's measured facts between listings, so listing the
// catalogue again costs no walk, no tool run and no Info.plist parse for a
// bundle that did not change.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "apps/app_bundle_facts.h"
#include "common/base/error.h"

namespace brimvale::apps {

// A remembered last-used date goes stale as the user opens apps, even when no
// bundle changes; facts this old are measured again.
inline constexpr std::int64_t kFactsMaxAgeSecs = 6 * 3600;

class AppFactsCache {
 public:
  // The cache kept in `file` (conventionally ~/.brimvale/state/app-facts.json).
  // A missing or unreadable file starts empty; an undecodable entry is dropped.
  static AppFactsCache load(const std::filesystem::path& file);

  // The facts stored for `bundle` at this stamp, unless they were measured
  // more than kFactsMaxAgeSecs before `now` (or after it: a clock set back).
  [[nodiscard]] std::optional<BundleFacts> find(const std::string& bundle, const BundleStamp& stamp,
                                                std::int64_t now) const;
  void store(const std::string& bundle, const BundleStamp& stamp, const BundleFacts& facts,
             std::int64_t now);
  // Forgets every bundle not in `bundles` (uninstalled, renamed).
  void keepOnly(const std::set<std::string>& bundles);
  // Writes the file atomically (its folder created, private, when missing)
  // when anything changed since load.
  [[nodiscard]] Result<void> save();

 private:
  struct Entry {
    BundleStamp stamp;
    std::int64_t measuredAt = 0;
    BundleFacts facts;
  };
  std::filesystem::path file_;
  std::map<std::string, Entry> entries_;
  bool changed_ = false;
};

}  // namespace brimvale::apps
