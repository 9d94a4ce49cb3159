#include "apps/orphan_breadcrumb.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::apps {
namespace {

using nlohmann::json;

OrphanBreadcrumb sampleBreadcrumb() {
  return {"0F8FAD5B-D9CB-469F-A165-70867728950E",
          "Q",
          "",
          "/Applications/It's Q.app",
          "/home/a/.brimvale/quarantine/apps/unknown.2026-05-28T20-26-40Z",
          "/Volumes/NVMe/BRIM-Mac/Apps/It's Q.app",
          OrphanReason::kStageRenameFailed,
          "Permission denied",
          1'780'000'000};
}

TEST(OrphanBreadcrumb, AnIdThatCouldNameAnotherFileStaysInItsFolder) {
  brimvale::testing::TempFolder tmp;
  OrphanBreadcrumb crumb = sampleBreadcrumb();
  crumb.manifestID = "../../escape";
  const auto written = writeOrphanBreadcrumb(tmp / "state", crumb);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->parent_path(), tmp / "state/orphan-manifests");
}

}  // namespace
}  // namespace brimvale::apps
