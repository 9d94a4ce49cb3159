#include "apps/app_facts_cache.h"

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"

namespace brimvale::apps {
namespace {

using nlohmann::json;

// 2: the Info.plist's fields and modification time joined the facts.
constexpr int kCacheVersion = 2;

std::optional<std::int64_t> integerAt(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<std::int64_t>();
}

std::string textAt(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

json infoJson(const InfoPlist& info) {
  return {{"displayName", info.displayName},
          {"bundleName", info.bundleName},
          {"identifier", info.identifier},
          {"executable", info.executable},
          {"categoryType", info.categoryType}};
}

InfoPlist infoOf(const json& value) {
  return {.displayName = textAt(value, "displayName"),
          .bundleName = textAt(value, "bundleName"),
          .identifier = textAt(value, "identifier"),
          .executable = textAt(value, "executable"),
          .categoryType = textAt(value, "categoryType")};
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
    if (!value.is_object()) continue;
    const auto modified = integerAt(value, "modifiedNanos");
    const auto infoModified = integerAt(value, "infoPlistNanos");
    const auto measured = integerAt(value, "measuredAt");
    const auto size = integerAt(value, "sizeBytes");
    const auto info = value.find("info");
    // Without its Info.plist answer an entry would read as a bundle with no Info.plist.
    if (!modified || !infoModified || !measured || !size || info == value.end() ||
        !(info->is_object() || info->is_null())) {
      continue;
    }
    Entry entry{.stamp = {.bundleNanos = *modified, .infoPlistNanos = *infoModified},
                .measuredAt = *measured,
                .facts = {.sizeBytes = *size}};
    entry.facts.lastUsed = integerAt(value, "lastUsed");
    const auto signedByApple = value.find("appleSigned");
    entry.facts.appleSigned =
        signedByApple != value.end() && signedByApple->is_boolean() && signedByApple->get<bool>();
    if (info->is_object()) entry.facts.info = infoOf(*info);
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
    json value{{"modifiedNanos", entry.stamp.bundleNanos},
               {"infoPlistNanos", entry.stamp.infoPlistNanos},
               {"measuredAt", entry.measuredAt},
               {"sizeBytes", entry.facts.sizeBytes},
               {"appleSigned", entry.facts.appleSigned},
               {"info", entry.facts.info ? infoJson(*entry.facts.info) : json(nullptr)}};
    if (entry.facts.lastUsed) value["lastUsed"] = *entry.facts.lastUsed;
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
