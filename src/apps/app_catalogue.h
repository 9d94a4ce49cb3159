// Discovery of the installed applications: every bundle in the application
// folders, with its name, identifier, category and measured facts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "apps/app_catalogue_entry.h"
#include "apps/app_facts_cache.h"
#include "platform/bundle_probe.h"

namespace brimvale::apps {

struct AppFolders {
  std::vector<std::filesystem::path> folders;  // scanned in this order
  std::filesystem::path userFolder;            // the one of them that is the user's own
};

// "{root}Applications", "{home}/Applications", "{root}Applications/Setapp" and
// "{root}Applications/Utilities"; `root` is "/" except in tests.
[[nodiscard]] AppFolders defaultAppFolders(const std::filesystem::path& home,
                                           const std::filesystem::path& root = "/");

// Whether a program of this name runs now.
using RunningCheck = std::function<bool(std::string_view program)>;

class AppDiscovery {
 public:
  // `cache` supplies the facts of bundles unchanged since they were measured
  // and takes the newly measured ones; the caller saves it.
  AppDiscovery(AppFolders folders, platform::BundleProbe& probe, AppFactsCache& cache,
               RunningCheck isRunning);

  // Every entry ending in ".app" directly inside the folders, folder by
  // folder, by file name within one. A link is already relocated: its facts
  // are those of the bundle it points to, and a link whose target is away is
  // still listed (size 0). Missing folders are skipped. `now` is seconds
  // since the epoch, for the cache's freshness.
  [[nodiscard]] std::vector<AppEntry> discover(std::int64_t now);

  // The entry of one bundle, wherever it is, as discover() would list it
  // were it in the folders; the cache's other bundles are kept.
  [[nodiscard]] AppEntry entryAt(const std::filesystem::path& bundle, std::int64_t now);

 private:
  [[nodiscard]] AppEntry entryFor(const std::filesystem::path& bundle, bool isLink,
                                  bool inUserFolder, std::int64_t now);

  AppFolders folders_;
  platform::BundleProbe& probe_;
  AppFactsCache& cache_;
  RunningCheck isRunning_;
};

}  // namespace brimvale::apps
