#include "app/dashboard/dashboard_relocated.h"

#include <gtest/gtest.h>

#include <functional>

#include "testing/base/temp_folder.h"

namespace brimvale::app {
namespace {
using nlohmann::json;

TEST(DashboardRelocated, OnlyIdShapedTextNamesAnItem) {
  struct Case {
    const char* name;
    json body;
    std::string id;  // empty: refused
  };
  const Case cases[] = {
      {"whole id",
       {{"id", "3F2A9C1E-77B0-4C1D-9E55-0A1B2C3D4E5F"}},
       "3F2A9C1E-77B0-4C1D-9E55-0A1B2C3D4E5F"},
      {"missing", json::object(), ""},
      {"a number", {{"id", 42}}, ""},
      {"a path", {{"id", "../state/x"}}, ""},
      {"with a newline", {{"id", "3F2A\n"}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(relocatedItemId(c.body), c.id);
  }
}

// The page refreshes when a move starts, ends or its record goes, or a
// relocation's copy comes or goes; the progress a running move writes into
// its record is no change of state.
TEST(DashboardRelocated, OnlyPhasesAndRecordsMarkAChange) {
  struct Case {
    const char* name;
    std::function<void(std::vector<mover::MoveManifest>&)> change;
    bool changed;
  };
  const Case cases[] = {
      {"progress written", [](auto& r) { r[0].fractionAtLastWrite = 0.5, r[0].updatedAt = 9; },
       false},
      {"listed in another order", [](auto& r) { std::swap(r[0], r[1]); }, false},
      {"a phase changed", [](auto& r) { r[0].phase = mover::MovePhase::kDone; }, true},
      {"a record gone", [](auto& r) { r.pop_back(); }, true},
      {"a record added", [](auto& r) { r.push_back(r[0]), r.back().id = "C"; }, true},
      {"a copy deleted", [](auto& r) { std::filesystem::remove(r[1].finalDst); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    brimvale::testing::TempFolder root("bv-relocation-mark");
    std::vector<mover::MoveManifest> records(2);
    records[0].id = "A";
    records[0].phase = mover::MovePhase::kCopying;
    records[1].id = "B";
    records[1].phase = mover::MovePhase::kDone;
    records[1].replaceSourceWithSymlink = true;
    records[1].src = root.folder("home/Album").string();
    records[1].finalDst = root.folder("drive/Album").string();
    const std::string before = relocationMark(records);
    c.change(records);
    EXPECT_EQ(relocationMark(records) != before, c.changed);
  }
}

}  // namespace
}  // namespace brimvale::app
