#include "apps/orphan_breadcrumb.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "testing/temp_folder.h"

namespace brimvale::apps {
namespace {

using nlohmann::json;

OrphanBreadcrumb sample() {
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

TEST(OrphanBreadcrumb, WritesEveryKeyAndTheRestoreCommand) {
  testing::TempFolder tmp;
  const auto written = writeOrphanBreadcrumb(tmp / "state", sample());
  ASSERT_TRUE(written) << written.error().message();
  EXPECT_EQ(*written, tmp / "state/orphan-manifests/0F8FAD5B-D9CB-469F-A165-70867728950E.json");
  const auto text = readFile(*written);
  ASSERT_TRUE(text);
  const json j = json::parse(*text);
  EXPECT_EQ(j.size(), 10u);
  EXPECT_EQ(j["reason"], "stage_rename_failed");
  EXPECT_EQ(j["createdAt"], "2026-05-28T20:26:40Z");
  EXPECT_EQ(j["bundleID"], "");
  EXPECT_EQ(j["instructions"],
            "Your app bundle is at `quarantinePath`. To restore manually: `sudo mv "
            "'/home/a/.brimvale/quarantine/apps/unknown.2026-05-28T20-26-40Z' "
            "'/Applications/It'\\''s Q.app'`. If that path is empty, check `nvmePath` — there "
            "may be a verified NVMe copy you can rsync back instead.");
  // Pretty-printed with sorted keys: "bundleID" comes first, on its own line.
  EXPECT_TRUE(text->starts_with("{\n  \"bundleID\": \"\",\n  \"createdAt\""));
}

TEST(OrphanBreadcrumb, AnIdThatCouldNameAnotherFileStaysInItsFolder) {
  testing::TempFolder tmp;
  OrphanBreadcrumb crumb = sample();
  crumb.manifestID = "../../escape";
  const auto written = writeOrphanBreadcrumb(tmp / "state", crumb);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->parent_path(), tmp / "state/orphan-manifests");
}

}  // namespace
}  // namespace brimvale::apps
