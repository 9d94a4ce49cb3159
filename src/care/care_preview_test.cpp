#include "care/care_preview.h"

#include <gtest/gtest.h>

#include <set>

namespace brimvale::care {
namespace {

using C = ReclaimCategory;

std::vector<std::string> pathsOf(const std::vector<ReclaimItem>& items) {
  std::vector<std::string> paths;
  for (const auto& item : items) paths.push_back(item.path);
  return paths;
}

// Each previewed item against this moment's scan and disk.
TEST(CarePreview, EachPreviewedItemIsClearedOrSaysWhatChanged) {
  const std::vector<ReclaimItem> previewed{
      {C::kTrash, "/t/same", 100, 1},  {C::kTrash, "/t/shrunk", 100, 1},
      {C::kTrash, "/t/grown", 100, 1}, {C::kTrash, "/t/gone", 100, 1},
      {C::kTrash, "/t/young", 100, 1}, {C::kDevcaches, "/t/moved category", 5, 1},
  };
  const std::vector<ReclaimItem> dueNow{
      {C::kTrash, "/t/same", 100, 1},          {C::kTrash, "/t/shrunk", 40, 1},
      {C::kTrash, "/t/grown", 101, 1},         {C::kTrash, "/t/not previewed", 9, 1},
      {C::kSyslog, "/t/moved category", 5, 1},
  };
  const std::set<std::string> onDisk{"/t/same",  "/t/shrunk",         "/t/grown",
                                     "/t/young", "/t/moved category", "/t/not previewed"};
  const auto check =
      checkPreview(previewed, dueNow, [&](const std::string& p) { return onDisk.contains(p); });
  EXPECT_EQ(pathsOf(check.toClear), (std::vector<std::string>{"/t/same", "/t/shrunk"}));
  EXPECT_EQ(check.toClear[1].bytes, 40) << "the size as it is now";
  EXPECT_EQ(pathsOf(check.grown), std::vector<std::string>{"/t/grown"});
  EXPECT_EQ(pathsOf(check.gone), std::vector<std::string>{"/t/gone"});
  EXPECT_EQ(pathsOf(check.noLongerDue),
            (std::vector<std::string>{"/t/young", "/t/moved category"}));
  EXPECT_EQ(changedSince(check),
            "Gone since the preview: /t/gone.\n"
            "Grown since the preview, so left as it is: /t/grown.\n"
            "No longer due to be cleared (changed or in use), so left as it is: /t/young, "
            "/t/moved category.\n");
}

TEST(CarePreview, ReadsOnlyASavedPreview) {
  const auto items = parsePreview(
      R"({"items":[{"category":"trash","path":"/t/a","bytes":7,"agedFromEpoch":3}],"totalBytes":7})");
  ASSERT_TRUE(items);
  EXPECT_EQ(*items, (std::vector<ReclaimItem>{{C::kTrash, "/t/a", 7, 3}}));
  for (const char* notOne : {"", "[]", R"({"removed":[]})",
                             R"({"items":[{"category":"photos","path":"/t/a","bytes":7}]})",
                             R"({"items":[{"category":"trash","bytes":7}]})"}) {
    EXPECT_FALSE(parsePreview(notOne)) << notOne;
  }
}

}  // namespace
}  // namespace brimvale::care
