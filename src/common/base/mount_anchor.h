// The drive's mount as it was when a job began, so that the job can tell at
// any moment that its writes still land on that drive, and not in the bare
// folder an unplugged drive leaves behind on the internal disk.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>

namespace brimvale {

class MountAnchor {
 public:
  // The file system mounted exactly at `mountPath` now; nothing when the
  // path is missing or is a plain folder of the file system above it.
  [[nodiscard]] static std::optional<MountAnchor> take(const std::filesystem::path& mountPath);

  // True while that same mount (not a remount of the drive, whose writes
  // must be checked again) is still at the path and `inside`, when given,
  // lies on it: a folder on the drive, or the folder a file is written into.
  [[nodiscard]] bool holds(const std::filesystem::path& inside = {}) const;

  [[nodiscard]] const std::filesystem::path& mountPath() const { return mountPath_; }

 private:
  struct Seen {
    dev_t device = 0;
    std::uint64_t mountId = 0;
    bool mountRoot = false;
  };
  [[nodiscard]] static std::optional<Seen> look(const std::filesystem::path& path);

  std::filesystem::path mountPath_;
  Seen seen_;
};

}  // namespace brimvale
