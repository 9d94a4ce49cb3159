#include "apps/app_facts_cache.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "common/base/file_io.h"

namespace brimvale::apps {
namespace {

using nlohmann::json;

// 3: one array per bundle, which reads in half the time of an object with
// named fields; a listing reads the whole file before it shows anything.
constexpr int kCacheVersion = 3;

// A bundle's array, by position.
enum Field : std::size_t {
  kModifiedNanos,
  kInfoPlistNanos,
  kMeasuredAt,
  kSizeBytes,
  kAppleSigned,
  kLastUsed,  // null: no record
  kInfo,      // null: no readable Info.plist
  kFieldCount
};
// The Info.plist's array, by position.
enum InfoField : std::size_t {
  kDisplayName,
  kBundleName,
  kIdentifier,
  kExecutable,
  kCategoryType,
  kInfoFieldCount
};

json infoJson(const InfoPlist& info) {
  json fields = json::array();
  fields.insert(fields.end(), {info.displayName, info.bundleName, info.identifier, info.executable,
                               info.categoryType});
  return fields;
}

std::optional<InfoPlist> infoOf(const json& fields) {
  if (!fields.is_array() || fields.size() != kInfoFieldCount ||
      !std::ranges::all_of(fields, [](const json& f) { return f.is_string(); })) {
    return std::nullopt;
  }
  return InfoPlist{.displayName = fields[kDisplayName].get<std::string>(),
                   .bundleName = fields[kBundleName].get<std::string>(),
                   .identifier = fields[kIdentifier].get<std::string>(),
                   .executable = fields[kExecutable].get<std::string>(),
                   .categoryType = fields[kCategoryType].get<std::string>()};
}

}  // namespace

AppFactsCache AppFactsCache::load(const std::filesystem::path& file) {
  AppFactsCache cache;
  cache.file_ = file;
  auto text = readFile(file);
  if (!text) return cache;
  const json doc = json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object() || doc.value("version", 0) != kCacheVersion) return cache;
  const auto bundles = doc.find("bundles");
  if (bundles == doc.end() || !bundles->is_object()) return cache;
  for (const auto& [path, value] : bundles->items()) {
    if (!value.is_array() || value.size() != kFieldCount) continue;
    const bool wellFormed =
        value[kModifiedNanos].is_number_integer() && value[kInfoPlistNanos].is_number_integer() &&
        value[kMeasuredAt].is_number_integer() && value[kSizeBytes].is_number_integer() &&
        value[kAppleSigned].is_boolean() &&
        (value[kLastUsed].is_number_integer() || value[kLastUsed].is_null());
    // Without its Info.plist answer an entry would read as a bundle with no Info.plist.
    const auto info = infoOf(value[kInfo]);
    if (!wellFormed || (!info && !value[kInfo].is_null())) continue;
    Entry entry{.stamp = {.bundleNanos = value[kModifiedNanos].get<std::int64_t>(),
                          .infoPlistNanos = value[kInfoPlistNanos].get<std::int64_t>()},
                .measuredAt = value[kMeasuredAt].get<std::int64_t>(),
                .facts = {.sizeBytes = value[kSizeBytes].get<std::int64_t>(),
                          .appleSigned = value[kAppleSigned].get<bool>(),
                          .info = info}};
    if (!value[kLastUsed].is_null()) entry.facts.lastUsed = value[kLastUsed].get<std::int64_t>();
    cache.entries_[path] = entry;
  }
  return cache;
}

std::optional<BundleFacts> AppFactsCache::find(const std::string& bundle, const BundleStamp& stamp,
                                               std::int64_t now) const {
  const auto it = entries_.find(bundle);
  if (it == entries_.end() || it->second.stamp != stamp) return std::nullopt;
  const std::int64_t age = now - it->second.measuredAt;
  if (age < 0 || age > kFactsMaxAgeSecs) return std::nullopt;
  return it->second.facts;
}

void AppFactsCache::store(const std::string& bundle, const BundleStamp& stamp,
                          const BundleFacts& facts, std::int64_t now) {
  entries_[bundle] = Entry{.stamp = stamp, .measuredAt = now, .facts = facts};
  changed_ = true;
}

void AppFactsCache::keepOnly(const std::set<std::string>& bundles) {
  changed_ |=
      std::erase_if(entries_, [&](const auto& e) { return !bundles.contains(e.first); }) > 0;
}

Result<void> AppFactsCache::save() {
  if (!changed_) return {};
  json bundles = json::object();
  for (const auto& [path, entry] : entries_) {
    json value = json::array();
    value.insert(value.end(), {entry.stamp.bundleNanos, entry.stamp.infoPlistNanos,
                               entry.measuredAt, entry.facts.sizeBytes, entry.facts.appleSigned,
                               entry.facts.lastUsed ? json(*entry.facts.lastUsed) : json(nullptr),
                               entry.facts.info ? infoJson(*entry.facts.info) : json(nullptr)});
    bundles[path] = std::move(value);
  }
  const json doc{{"version", kCacheVersion}, {"bundles", std::move(bundles)}};
  std::error_code ec;
  const auto folder = file_.parent_path();
  if (!std::filesystem::exists(folder, ec) && std::filesystem::create_directories(folder, ec)) {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
  }
  auto written = writeFileAtomically(file_, doc.dump(2) + "\n");
  if (written) changed_ = false;
  return written;
}

}  // namespace brimvale::apps
