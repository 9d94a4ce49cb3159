#include "service/rules/clutter_places.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace brimvale::service {
namespace {

constexpr HomeLayout kLayouts[] = {HomeLayout::kMacOS, HomeLayout::kFreedesktop};

std::vector<std::string> devcacheFolders(HomeLayout layout) {
  std::vector<std::string> folders;
  for (const auto& folder : findReclaimPlaces(layout, "devcaches")->folders) {
    folders.emplace_back(folder.path);
  }
  return folders;
}

bool nests(std::string_view outer, std::string_view inner) {
  return inner.size() > outer.size() && inner.starts_with(outer) && inner[outer.size()] == '/';
}

// Every folder a category empties lies inside the home folder and says why
// emptying it is safe.
TEST(ClutterPlaces, EveryCategoryFolderStaysInTheHome) {
  for (HomeLayout layout : kLayouts) {
    for (const auto& category : reclaimPlaces(layout)) {
      for (const auto& folder : category.folders) {
        SCOPED_TRACE(folder.path);
        EXPECT_FALSE(folder.reason.empty());
        EXPECT_FALSE(folder.path.starts_with('/'));
        EXPECT_EQ(folder.path.find(".."), std::string_view::npos);
      }
    }
  }
}

// Given the per-tool caches a Linux developer fills, then each is emptied by
// devcaches, and folders holding the user's own work never are.
TEST(ClutterPlaces, FreedesktopDevCachesAreToolCachesOnly) {
  const auto folders = devcacheFolders(HomeLayout::kFreedesktop);
  for (const char* cache :
       {".cache/pip", ".npm/_cacache", ".cache/yarn", ".cargo/registry/cache", ".cache/go-build",
        ".gradle/caches", ".local/share/pnpm/store", ".pnpm-store", ".cache/ccache"}) {
    SCOPED_TRACE(cache);
    EXPECT_NE(std::ranges::find(folders, cache), folders.end());
  }
  for (const std::string& folder : folders) {
    SCOPED_TRACE(folder);
    for (const char* kept : {".m2", ".cache", ".cargo", ".local/share", ".gradle", ".ccache"}) {
      EXPECT_NE(folder, kept) << "a whole tool or data folder is never a candidate list";
    }
    EXPECT_FALSE(folder.starts_with(".m2")) << "Maven's repository holds installed artifacts";
    EXPECT_FALSE(folder.starts_with("Library/")) << "no macOS folder on Linux";
  }
}

TEST(ClutterPlaces, FreedesktopProbesStayInTheHomeAndNeverCountAFolderTwice) {
  const auto probes = storageProbes(HomeLayout::kFreedesktop);
  std::vector<std::string_view> paths;
  for (const auto& probe : probes) paths.push_back(probe.path);
  for (const char* expected :
       {".cache", ".local/share/Trash", "Downloads", ".local/share/containers",
        ".local/share/libvirt", ".local/share/flatpak", ".var/app/*/cache", "snap"}) {
    SCOPED_TRACE(expected);
    EXPECT_NE(std::ranges::find(paths, expected), paths.end());
  }
  for (const auto& probe : probes) {
    SCOPED_TRACE(probe.path);
    EXPECT_FALSE(probe.path.starts_with('/')) << "a scan never measures a system folder here";
    EXPECT_FALSE(probe.label.empty());
    for (std::string_view other : paths) {
      EXPECT_FALSE(nests(other, probe.path)) << "inside " << other;
    }
  }
}

}  // namespace
}  // namespace brimvale::service
