// What the folder-mover scenarios share: a temporary home whose configuration
// names a tmpfs drive of the test's own, with the recent-write guard off so folders
// the test has just written may move.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "e2e_harness.h"

namespace brimvale::e2e {

// Names `drive` in `home`'s configuration and turns the recent-write guard
// off; a `verificationLevel` other than "" is set too.
void prepareMoverHome(const TempHome& home, const std::filesystem::path& drive,
                      const std::string& verificationLevel = "");

// Every readable move record of `home` (a write cut short by SIGKILL is skipped).
[[nodiscard]] nlohmann::json moveRecords(const TempHome& home);

// The only move record of `home`, or null when there is none or several.
[[nodiscard]] nlohmann::json onlyMoveRecord(const TempHome& home);

class MoverScene : public ::testing::Test {
 protected:
  // `prefix` + the test's name labels the drive: ctest runs tests side by
  // side in one mount namespace.
  MoverScene(const std::string& prefix, const std::string& size);
  void SetUp() override;

  [[nodiscard]] std::filesystem::path working() const;
  // Where the mover puts a folder named `name` when no destination is given.
  [[nodiscard]] std::filesystem::path relocated(const std::string& name) const;

  TempHome home_;
  TmpfsDrive drive_;
};

}  // namespace brimvale::e2e
