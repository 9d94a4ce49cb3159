#include "apps/app_catalogue.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <utility>

#include "apps/app_bundle_facts.h"

namespace brimvale::apps {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kBundleSuffix = ".app";

// The folder's entries keep the file type the listing reported, so telling a
// link costs no further call per bundle.
std::vector<fs::directory_entry> bundlesIn(const fs::path& folder) {
  std::vector<fs::directory_entry> bundles;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() > kBundleSuffix.size() && name.ends_with(kBundleSuffix)) {
      bundles.push_back(*it);
    }
  }
  std::sort(bundles.begin(), bundles.end());
  return bundles;
}

std::string displayNameOf(const fs::path& bundle, const std::optional<InfoPlist>& info) {
  if (info && !info->displayName.empty()) return info->displayName;
  if (info && !info->bundleName.empty()) return info->bundleName;
  const std::string name = bundle.filename().string();
  return name.substr(0, name.size() - kBundleSuffix.size());
}

AppEntry entryOf(const fs::path& bundle, bool isLink, const BundleFacts& facts, bool inUserFolder,
                 const RunningCheck& isRunning) {
  const auto& info = facts.info;
  AppEntry entry{.id = bundle.lexically_normal().string(),
                 .displayName = displayNameOf(bundle, info),
                 .bundlePath = bundle.string(),
                 .sizeBytes = facts.sizeBytes,
                 .lastUsed = facts.lastUsed,
                 .alreadyRelocated = isLink,
                 .appleSigned = facts.appleSigned,
                 .inUserFolder = inUserFolder};
  if (info) {
    if (!info->identifier.empty()) entry.bundleIdentifier = info->identifier;
    entry.category = categoryOfType(info->categoryType);
  }
  const std::string program = mainProgramName(info);
  entry.running = !program.empty() && isRunning && isRunning(program);
  return entry;
}

}  // namespace

AppFolders defaultAppFolders(const fs::path& home, const fs::path& root) {
  const fs::path system = root / "Applications";
  return AppFolders{
      .folders = {system, home / "Applications", system / "Setapp", system / "Utilities"},
      .userFolder = home / "Applications"};
}

AppDiscovery::AppDiscovery(AppFolders folders, platform::BundleProbe& probe, AppFactsCache& cache,
                           RunningCheck isRunning)
    : folders_(std::move(folders)),
      probe_(probe),
      cache_(cache),
      isRunning_(std::move(isRunning)) {}

std::vector<AppEntry> AppDiscovery::discover(std::int64_t now) {
  std::vector<AppEntry> entries;
  std::set<std::string> seen;
  for (const auto& folder : folders_.folders) {
    for (const auto& bundle : bundlesIn(folder)) {
      std::error_code ec;
      entries.push_back(
          entryFor(bundle.path(), bundle.is_symlink(ec), folder == folders_.userFolder, now));
      seen.insert(bundle.path().string());
    }
  }
  cache_.keepOnly(seen);
  return entries;
}

AppEntry AppDiscovery::entryAt(const fs::path& bundle, std::int64_t now) {
  std::error_code ec;
  return entryFor(bundle, fs::is_symlink(bundle, ec), bundle.parent_path() == folders_.userFolder,
                  now);
}

AppEntry AppDiscovery::entryFor(const fs::path& bundle, bool isLink, bool inUserFolder,
                                std::int64_t now) {
  const auto stamp = bundleStamp(bundle);
  auto facts = stamp ? cache_.find(bundle.string(), *stamp, now) : std::nullopt;
  if (!facts) {
    facts = measureBundleFacts(bundle, probe_);
    if (stamp) cache_.store(bundle.string(), *stamp, *facts, now);
  }
  return entryOf(bundle, isLink, *facts, inUserFolder, isRunning_);
}

}  // namespace brimvale::apps
