// A transfer's hold on the external drive: the mount its drive side began
// on, checked while rclone runs so that writes meant for the drive stop as
// soon as they would go into the bare folder an unplugged drive leaves, and
// what rclone managed to write there before that.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cloud/sync_job.h"
#include "common/base/mount_anchor.h"

namespace brimvale::cloud {

// The local sides of `job` (source, destination) at or under `mountPath`,
// standardised; remote sides never count.
[[nodiscard]] std::vector<std::filesystem::path> driveSides(const SyncJob& job,
                                                            const std::string& mountPath);

// What rclone wrote into the bare mount-point folder after the drive went.
struct StrandedWrites {
  std::filesystem::path folder;  // the job's destination, now on the internal disk
  std::size_t left = 0;          // files left there (partial or unverifiable copies)
};

class TransferAnchor {
 public:
  // The drive mounted at `mountPath` now, for the job's `sides` on it;
  // nothing when no file system is mounted exactly there.
  [[nodiscard]] static std::optional<TransferAnchor> take(const std::filesystem::path& mountPath,
                                                          std::vector<std::filesystem::path> sides);

  // The same mount is still there, and each side (or, while rclone has not
  // made it yet, the nearest folder of it that exists) lies on it.
  [[nodiscard]] bool holds() const;

  // After the drive went: the job's destination, when it now exists on the
  // disk holding the mount point. Files there that are exact copies of the
  // job's local source are removed (they are only copies, and would be
  // hidden once the drive is back), with the folders they leave empty; the
  // rest are counted. Nothing when rclone wrote nothing there.
  [[nodiscard]] std::optional<StrandedWrites> clearStranded(const SyncJob& job) const;

  [[nodiscard]] const std::filesystem::path& mountPath() const { return anchor_.mountPath(); }

 private:
  TransferAnchor(MountAnchor anchor, std::vector<std::filesystem::path> sides)
      : anchor_(std::move(anchor)), sides_(std::move(sides)) {}

  MountAnchor anchor_;
  std::vector<std::filesystem::path> sides_;
};

}  // namespace brimvale::cloud
