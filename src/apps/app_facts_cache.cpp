#include "apps/app_facts_cache.h"

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"

namespace brimvale::apps {
namespace {

using nlohmann::json;

constexpr int kCacheVersion = 1;

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
    const auto modified = value.find("modifiedNanos");
    const auto measured = value.find("measuredAt");
    const auto size = value.find("sizeBytes");
    if (modified == value.end() || !modified->is_number_integer() || measured == value.end() ||
        !measured->is_number_integer() || size == value.end() || !size->is_number_integer()) {
      continue;
    }
    Entry entry{.modifiedNanos = modified->get<std::int64_t>(),
                .measuredAt = measured->get<std::int64_t>(),
                .facts = {.sizeBytes = size->get<std::int64_t>()}};
    const auto lastUsed = value.find("lastUsed");
    if (lastUsed != value.end() && lastUsed->is_number_integer()) {
      entry.facts.lastUsed = lastUsed->get<std::int64_t>();
    }
    const auto signedByApple = value.find("appleSigned");
    entry.facts.appleSigned =
        signedByApple != value.end() && signedByApple->is_boolean() && signedByApple->get<bool>();
    cache.entries_[path] = entry;
  }
  return cache;
}

std::optional<BundleFacts> AppFactsCache::find(const std::string& bundle,
                                               std::int64_t modifiedNanos, std::int64_t now) const {
  const auto it = entries_.find(bundle);
  if (it == entries_.end() || it->second.modifiedNanos != modifiedNanos) return std::nullopt;
  const std::int64_t age = now - it->second.measuredAt;
  if (age < 0 || age > kFactsMaxAgeSecs) return std::nullopt;
  return it->second.facts;
}

void AppFactsCache::store(const std::string& bundle, std::int64_t modifiedNanos,
                          const BundleFacts& facts, std::int64_t now) {
  entries_[bundle] = Entry{.modifiedNanos = modifiedNanos, .measuredAt = now, .facts = facts};
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
    json value{{"modifiedNanos", entry.modifiedNanos},
               {"measuredAt", entry.measuredAt},
               {"sizeBytes", entry.facts.sizeBytes},
               {"appleSigned", entry.facts.appleSigned}};
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
