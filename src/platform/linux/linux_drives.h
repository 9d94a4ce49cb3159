// Linux drive facts and tools: the mount table, sysfs and udev's by-uuid
// links mapped onto the fields the macOS tools report, and mount/umount/
// udisksctl for mounting and ejecting.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace brimvale::platform {

struct LinuxDrivePaths {
  std::string procRoot = "/proc";
  std::string sysRoot = "/sys";
  std::string devRoot = "/dev";
  std::string volumesRoot = "/Volumes";
  // Where drives get mounted, each folder listed when it exists: the desktop's
  // removable-media folders {root}/{USER}, and the folder for drives mounted
  // by hand or by fstab, whose own entries are the drives.
  std::string mediaRoot = "/media";
  std::string runMediaRoot = "/run/media";
  std::string mntRoot = "/mnt";
  std::string mount = "/usr/bin/mount";
  std::string umount = "/usr/bin/umount";
  std::string udisksctl = "/usr/bin/udisksctl";
  std::string lsof = "/usr/bin/lsof";
  std::string systemctl = "/usr/bin/systemctl";
};

// One line of /proc/self/mountinfo.
struct MountEntry {
  std::string mountPoint;
  std::string fsType;
  std::string source;
};

// The mount that holds `path` (an absolute, already resolved path): the
// entry with the longest mount point that is `path` or a folder above it;
// the later entry wins a tie, as the later mount hides the earlier.
[[nodiscard]] std::optional<MountEntry> mountHolding(std::string_view mountinfo,
                                                     std::string_view path);

// The file system and protocol fields for a kernel file-system type: the file
// system keeps the kernel's name (what a Linux user sees in `mount`), and the
// network shares (nfs, cifs/smb3, sshfs) also name their protocol.
struct FilesystemWords {
  std::string filesystem;
  std::string protocol;
};
[[nodiscard]] FilesystemWords describeFilesystem(std::string_view fsType);

// Location and protocol of a block device from its resolved sysfs path: a
// device behind a USB or Thunderbolt controller is External, others Internal.
struct BusWords {
  std::string location;
  std::string protocol;
};
[[nodiscard]] BusWords describeBus(std::string_view sysfsDevicePath);

[[nodiscard]] std::unique_ptr<DriveTools> makeLinuxDriveTools(LinuxDrivePaths paths,
                                                              ProcessRunner run);
// `systemctl --user is-active --quiet {label}`.
[[nodiscard]] std::unique_ptr<ServiceAgents> makeLinuxServiceAgents(std::string systemctl,
                                                                    ProcessRunner run);

}  // namespace brimvale::platform
