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

}  // namespace
}  // namespace brimvale::service
