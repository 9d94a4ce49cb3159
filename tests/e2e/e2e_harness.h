// What every end-to-end scenario needs: a throw-away home folder, a real
// tmpfs "drive" mounted under /Volumes, and the real programs run in it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/process.h"

namespace brimvale::e2e {

// A fresh $HOME in /tmp, removed at the end of the test.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path state() const { return path_ / ".brimvale" / "state"; }
  // Writes ~/.brimvale/brim-vale.conf (creating the folder).
  void writeConfig(const std::string& text) const;

 private:
  std::filesystem::path path_;
};

// A tmpfs mounted on /Volumes/{name}; unmounted and removed at the end.
// Needs a private mount namespace with mount rights (scripts/test provides
// one); without it the test is skipped, or failed when
// BRIMVALE_REQUIRE_MOUNTS=1 says the namespace should have been there.
class TmpfsDrive {
 public:
  explicit TmpfsDrive(const std::string& name, const std::string& size = "64m");
  ~TmpfsDrive();
  TmpfsDrive(const TmpfsDrive&) = delete;
  TmpfsDrive& operator=(const TmpfsDrive&) = delete;
  [[nodiscard]] bool mounted() const { return mounted_; }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] const std::string& whyNot() const { return whyNot_; }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
  std::string whyNot_;
};

// Skips (or fails, when mounts are required) a test whose drive is not there.
#define BRIMVALE_REQUIRE_DRIVE(drive)                                    \
  do {                                                                   \
    if (!(drive).mounted()) {                                            \
      if (::brimvale::e2e::mountsRequired()) FAIL() << (drive).whyNot(); \
      GTEST_SKIP() << (drive).whyNot();                                  \
    }                                                                    \
  } while (0)

[[nodiscard]] bool mountsRequired();

// Runs the built brim-vale with HOME set to `home`.
[[nodiscard]] ProcessResult runBrimVale(const TempHome& home, const std::vector<std::string>& args,
                                        std::vector<std::pair<std::string, std::string>> env = {});

// The working folder name this machine derives (BRIM-...).
[[nodiscard]] std::string thisWorkingFolderName();

}  // namespace brimvale::e2e
