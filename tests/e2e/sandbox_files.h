// Helpers for the relocation and rules scenarios: a config pointing at a
// drive, files with a chosen age, and the awkward names every walk must take.
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

// Sets the modification time of an existing path `days` days back.
void ageBy(const std::filesystem::path& path, int days);

// A configuration whose NVMe is `drive`, followed by `extraLines`.
[[nodiscard]] std::string configWithDrive(const std::filesystem::path& drive,
                                          const std::string& extraLines = {});

// Runs `recover` so the drive holds a working folder with its marker; the
// working folder's path.
[[nodiscard]] std::filesystem::path prepareDrive(const TempHome& home,
                                                 const std::filesystem::path& drive);

// Every line of the action log (without the newline).
[[nodiscard]] std::vector<std::string> actionRows(const TempHome& home);

}  // namespace brimvale::e2e
