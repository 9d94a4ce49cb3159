// Tests only: tmpfs volumes mounted for the length of a test, as an attached
// drive under /Volumes or over any folder (a tiny or full disk). Mounting
// needs a private mount namespace with mount rights (scripts/test gives one).
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace brimvale::testing {

// Whether the run demands mounts (BRIMVALE_REQUIRE_MOUNTS=1), so a test that
// cannot mount fails instead of being skipped.
[[nodiscard]] inline bool mountsRequired() {
  const char* v = std::getenv("BRIMVALE_REQUIRE_MOUNTS");
  return v && std::string(v) == "1";
}

// A tmpfs of `size` ("64m", "128k") with permissions `mode` on `path`, which
// is created when missing; unmounted at the end, the folder left in place.
class TmpfsMount {
 public:
  TmpfsMount(std::filesystem::path path, const std::string& size, const std::string& mode = "0700")
      : path_(std::move(path)) {
    std::error_code ec;
    std::filesystem::create_directories(path_, ec);
    if (ec) {
      whyNot_ = "cannot create " + path_.string() + ": " + ec.message();
      return;
    }
    const std::string options = "size=" + size + ",mode=" + mode;
    if (mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      whyNot_ = "cannot mount a tmpfs on " + path_.string() + " (" + std::strerror(errno) +
                "); run the tests through scripts/test";
      return;
    }
    mounted_ = true;
  }
  ~TmpfsMount() { unmount(); }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  [[nodiscard]] bool mounted() const { return mounted_; }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  // Why the volume is not mounted; empty when it is.
  [[nodiscard]] const std::string& whyNot() const { return whyNot_; }

  void unmount() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    mounted_ = false;
  }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
  std::string whyNot_;
};

// An attached drive: a tmpfs on /Volumes/{name}; its mount point goes too.
class TmpfsDrive : public TmpfsMount {
 public:
  explicit TmpfsDrive(const std::string& name, const std::string& size = "64m")
      : TmpfsMount(std::filesystem::path("/Volumes") / name, size, "0755") {}
  ~TmpfsDrive() {
    unmount();
    std::error_code ec;
    std::filesystem::remove(path(), ec);
  }
};

}  // namespace brimvale::testing

// Skips (or fails, when mounts are required) a test whose volume is not there.
#define BRIMVALE_REQUIRE_DRIVE(drive)                                        \
  do {                                                                       \
    if (!(drive).mounted()) {                                                \
      if (::brimvale::testing::mountsRequired()) FAIL() << (drive).whyNot(); \
      GTEST_SKIP() << (drive).whyNot();                                      \
    }                                                                        \
  } while (0)
