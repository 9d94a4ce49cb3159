// Helpers for the relocation and rules scenarios: a config pointing at a
// prepared drive, files with a chosen age, and the awkward names every walk
// must take.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace brimvale::e2e {

// Names with a blank, both quotes, a newline and non-ASCII letters.
[[nodiscard]] const std::vector<std::string>& awkwardNames();

// Writes `content` to `path` (creating folders) and sets its modification
// time `days` days back.
void writeAgedFile(const std::filesystem::path& path, const std::string& content, int days);

// Puts `content` in the home's freedesktop Trash as `name`, with a record
// saying it came from ~/`name` and was thrown away `days` days ago; the
// item's path.
std::filesystem::path writeTrashedFile(const std::filesystem::path& home, const std::string& name,
                                       const std::string& content, int days);

// Sets the modification time of an existing path `days` days back.
void ageBy(const std::filesystem::path& path, int days);

// A configuration whose NVMe is `drive`, followed by `extraLines`.
[[nodiscard]] std::string configWithDrive(const std::filesystem::path& drive,
                                          const std::string& extraLines = {});

// Runs `recover` so the drive holds a working folder with its marker; the
// working folder's path.
[[nodiscard]] std::filesystem::path prepareDrive(const TempHome& home,
                                                 const std::filesystem::path& drive);

// A home whose configuration names a tmpfs drive that `recover` has prepared
// (skipped without mounts); base_ is the drive's working folder.
class PreparedDriveTest : public ::testing::Test {
 protected:
  explicit PreparedDriveTest(const std::string& driveName) : drive_(driveName) {}
  void SetUp() override {
    BRIMVALE_REQUIRE_DRIVE(drive_);
    home_.writeConfig(configWithDrive(drive_.path()));
    base_ = prepareDrive(home_, drive_.path());
  }
  // Rewrites the configuration with `lines` after the drive's.
  void configure(const std::string& lines) const {
    home_.writeConfig(configWithDrive(drive_.path(), lines));
  }
  [[nodiscard]] std::filesystem::path in(const std::string& relative) const {
    return home_.path() / relative;
  }

  TmpfsDrive drive_;
  TempHome home_;
  std::filesystem::path base_;
};

// Every line of the action log (without the newline).
[[nodiscard]] std::vector<std::string> actionRows(const TempHome& home);

}  // namespace brimvale::e2e
