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

}  // namespace
}  // namespace brimvale::service
