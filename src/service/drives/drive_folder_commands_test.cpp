#include "service/drives/drive_folder_commands.h"

#include <gtest/gtest.h>

namespace brimvale::service {
namespace {

TEST(DriveFolder, DuplicateVolumeNamesAreTheNameABlankAndDigits) {
  struct Case {
    const char* entry;
    bool duplicate;
  } cases[] = {{"NVMe 1", true}, {"NVMe 12", true},  {"NVMe", false},     {"NVMe ", false},
               {"NVMe1", false}, {"NVMe 1a", false}, {"NVMe Pro", false}, {"Other 1", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(isDuplicateVolumeName(c.entry, "NVMe"), c.duplicate);
  }
}

TEST(DriveFolder, RecoveryMarkerKeysInOrder) {
  EXPECT_EQ(recoveryMarker("2026-05-01T03:00:00Z", "Ada's Mac", "ada", ""),
            "marker_version=1\ninitialized=2026-05-01T03:00:00Z\nhost=Ada's Mac\nuser=ada\n"
            "volume_uuid=unknown\nrecovered_at=2026-05-01T03:00:00Z\n");
}

}  // namespace
}  // namespace brimvale::service
