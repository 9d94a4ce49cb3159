// The app catalogue listing 200 generated bundles twice: the first listing
// measures every bundle, the second answers from the kept facts. Measured
// with this system's own probe and with the tool-running probe whose tools
// are stand-ins that exit at once (the cost of starting them is what the
// cache saves). Target: the second listing under 5 % of the first.
//
// Usage: apps_catalogue_cache [bundles [files per bundle]]   (defaults 200 and 60)
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "apps/app_catalogue.h"
#include "apps/app_catalogue_test_bundles.h"
#include "bench_support.h"
#include "platform/bundle_probe.h"
#include "platform/macos/mac_bundle_probe.h"

namespace fs = std::filesystem;
using namespace brimvale;

namespace {

double listingMs(const fs::path& root, const fs::path& cacheFile, platform::BundleProbe& probe) {
  const auto start = std::chrono::steady_clock::now();
  auto cache = apps::AppFactsCache::load(cacheFile);
  apps::AppDiscovery discovery(apps::defaultAppFolders(root / "home", root), probe, cache, {});
  const auto entries = discovery.discover(std::time(nullptr));
  if (!cache.save()) std::fprintf(stderr, "could not keep the facts\n");
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (entries.empty()) std::exit(1);
  return ms;
}

void compare(const char* name, const fs::path& root, platform::BundleProbe& probe) {
  const fs::path cacheFile = root / "state" / (std::string(name) + ".json");
  const double first = listingMs(root, cacheFile, probe);
  const double second = listingMs(root, cacheFile, probe);
  std::printf("%-22s first %9.1f ms  second %7.1f ms  ratio %.2f %% (target < 5 %%)\n", name, first,
              second, 100.0 * second / first);
}

}  // namespace

int main(int argc, char** argv) {
  const int bundles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const int files = argc > 2 ? std::max(1, std::atoi(argv[2])) : 60;
  const fs::path root = brimvale::bench::scratchFolder("apps-catalogue");
  for (int i = 0; i < bundles; ++i) {
    const fs::path bundle = apps::testing::makeBundle(
        root / "Applications", "App " + std::to_string(i),
        {{"CFBundleIdentifier", "com.example.app" + std::to_string(i)}},
        i % 2 ? apps::testing::PlistEncoding::kBinary : apps::testing::PlistEncoding::kXml);
    for (int f = 0; f < files; ++f) {
      const fs::path resource = bundle / "Contents" / "Resources" / ("r" + std::to_string(f));
      fs::create_directories(resource.parent_path());
      std::ofstream(resource) << std::string(static_cast<std::size_t>(1000 + f * 37), 'x');
    }
  }
  std::printf("%d bundles of %d files\n", bundles, files + 2);
  auto host = platform::makeHostBundleProbe(runProcess);
  compare("host probe", root, *host);
  auto tools =
      platform::makeMacBundleProbe({.mdls = "/bin/true", .codesign = "/bin/true"}, runProcess);
  compare("tool-running probe", root, *tools);
  fs::remove_all(root);
  return 0;
}
