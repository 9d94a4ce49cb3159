#include "apps/bundle_guard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "apps/app_move_test_world.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::userView;
using testing::rewriteInPlace;

struct Bundles {
  brimvale::testing::TempFolder tmp{"bv-bundle-guard"};
  fs::path original = tmp / "Applications/Q.app";
  fs::path copy = tmp / "Drive/Q.app";
  platform::testing::FakeAppRelocationTools tools;

  Bundles() {
    tmp.file("Applications/Q.app/Contents/MacOS/Q", "binary");
    tmp.file("Applications/Q.app/Contents/Resources/big.dat", std::string(5000, 'b'));
    tmp.link("Applications/Q.app/Contents/Resources/current", "big.dat");
    fs::create_directories(copy.parent_path());
    EXPECT_TRUE(
        tools.copyBundle(original.string(), copy.string(), "ditto", std::chrono::seconds(5), {}));
  }
};

// Given a copy that matches entry for entry, the version that goes is
// removed; given any difference, it is kept whole under a .kept name.
TEST(BundleGuard, RetireRemovesOnlyAnIdenticalVersionAndKeepsADifferingOneWhole) {
  struct Row {
    const char* name;
    std::function<void(const Bundles&)> change;  // made to the version that goes
    bool gone;
  };
  const std::vector<Row> rows{
      {"identical", [](const Bundles&) {}, true},
      {"same size and time, other bytes",
       [](const Bundles& b) { rewriteInPlace(b.copy / "Contents/Resources/big.dat", 'x'); }, false},
      {"a file only it has",
       [](const Bundles& b) { b.tmp.file("Drive/Q.app/Contents/Resources/new", "new"); }, false},
      {"a link elsewhere",
       [](const Bundles& b) {
         fs::remove(b.copy / "Contents/Resources/current");
         fs::create_symlink("MacOS", b.copy / "Contents/Resources/current");
       },
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Bundles b;
    row.change(b);
    const auto before = userView(b.copy);
    const Retired retired = retire(b.copy, b.original, ReplaceGuard{}, FileOperations::real());
    EXPECT_EQ(retired.gone, row.gone);
    EXPECT_FALSE(fs::exists(fs::symlink_status(b.copy)));
    if (row.gone) continue;
    ASSERT_TRUE(retired.keptAt);
    EXPECT_EQ(retired.keptAt->parent_path(), b.copy.parent_path());
    EXPECT_TRUE(retired.keptAt->filename().string().starts_with("Q.app.kept-"));
    EXPECT_EQ(userView(*retired.keptAt), before);
    EXPECT_EQ(retired.differing.size(), 1u);
  }
}

}  // namespace
}  // namespace brimvale::apps
