#include "service/drives/drive_assessment.h"

#include <gtest/gtest.h>

#include "platform/linux/linux_drives.h"
#include "platform/macos/mac_drives.h"
#include "testing/platform/recorded_diskutil.h"

namespace brimvale::service {
namespace {

using platform::DriveInfo;

ServiceConfig defaults() {
  return ServiceConfig::fromValues(parseConfig("", "/home/ada"), "BRIM-Mac");
}

// The configuration a macOS installation starts with: its own three lists.
ServiceConfig macDefaults() {
  const std::string text = "ALLOWED_FILESYSTEMS=\"" + std::string(kMacWords.allowedFilesystems) +
                           "\"\nWARN_FILESYSTEMS=\"" + std::string(kMacWords.warnFilesystems) +
                           "\"\nBLOCK_FILESYSTEMS=\"" + std::string(kMacWords.blockFilesystems) +
                           "\"\n";
  return ServiceConfig::fromValues(parseConfig(text, "/Users/ada"), "BRIM-Mac");
}

// A Linux volume as the backend reports it from its mount type and bus.
DriveInfo linuxVolume(const char* fsType, const char* sysfsPath) {
  DriveInfo info;
  auto words = platform::describeFilesystem(fsType);
  info.filesystem = words.filesystem;
  info.protocol = words.protocol;
  if (sysfsPath) {
    auto bus = platform::describeBus(sysfsPath);
    info.location = bus.location;
    if (info.protocol.empty()) info.protocol = bus.protocol;
  }
  return info;
}

struct AssessCase {
  const char* name;
  DriveInfo info;
  const char* verdict;
  std::vector<std::string> reasons;
  std::vector<std::string> warnings;
};

void expectVerdicts(const std::vector<AssessCase>& cases, const ServiceConfig& cfg,
                    const PlatformWords& words) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Verdict v = assessDrive(c.info, cfg, words);
    EXPECT_EQ(v.verdict, c.verdict);
    EXPECT_EQ(v.reasons, c.reasons);
    EXPECT_EQ(v.warnings, c.warnings);
  }
}

// The macOS texts are the long-standing ones, byte for byte.
TEST(AssessDrive, MacJudgesFilesystemLocationAndProtocolInItsOwnWords) {
  const std::string exfatWarning =
      "Filesystem ExFAT has known issues with macOS symlinks and permissions. APFS is strongly "
      "recommended.";
  const std::string internal =
      "This is an internal drive. The point of Tarnwick is to offload to an EXTERNAL drive.";
  expectVerdicts(
      {
          {"recorded exFAT stick",
           platform::parseDiskutilDriveFields(platform::testing::kDiskutilExternalExfat),
           "warn",
           {},
           {exfatWarning}},
          {"recorded SMB share",
           platform::parseDiskutilDriveFields(platform::testing::kDiskutilSmbShare),
           "block",
           {"Filesystem SMB is not supported (network or FAT-class filesystems break symlinks).",
            "Network drives over SMB are not supported."},
           {}},
          {"a block beats an earlier warn",
           DriveInfo{"ExFAT", "USB", "Fixed", "Internal", "disk0s3", ""},
           "block",
           {internal},
           {exfatWarning}},
      },
      macDefaults(), kMacWords);
}

// Given the Linux defaults, the kernel's own file-system names decide, and
// whatever cannot hold links, modes or attributes blocks with Linux advice.
TEST(AssessDrive, LinuxBlocksWhatCannotHoldLinksAndNamesLinuxFileSystems) {
  const char* usb = "/sys/devices/pci0000:00/usb2/2-1/host4/block/sdb/sdb1";
  const char* nvme = "/sys/devices/pci0000:00/0000:3d:00.0/nvme/nvme0/nvme0n1/nvme0n1p2";
  auto unsupported = [](const std::string& fs) {
    return "Filesystem " + fs +
           " is not supported: it cannot hold symbolic links, file modes or attributes. Choose "
           "a drive formatted as ext4, btrfs, xfs or f2fs, or format this one as ext4 "
           "(formatting erases it).";
  };
  std::vector<AssessCase> cases;
  for (const char* fs : {"ext4", "f2fs"}) {
    cases.push_back({fs, linuxVolume(fs, usb), "ok", {}, {}});
  }
  for (const char* fs : {"vfat", "exfat", "fuseblk"}) {
    cases.push_back({fs, linuxVolume(fs, usb), "block", {unsupported(fs)}, {}});
  }
  for (const auto& [fs, protocol] :
       {std::pair{"nfs", "NFS"}, {"cifs", "SMB"}, {"fuse.sshfs", "SSHFS"}}) {
    cases.push_back(
        {fs,
         linuxVolume(fs, nullptr),
         "block",
         {unsupported(fs), "Network drives over " + std::string(protocol) + " are not supported."},
         {}});
  }
  cases.push_back({"ext4 on the internal NVMe",
                   linuxVolume("ext4", nvme),
                   "block",
                   {"This is an internal drive. The point of Brimvale is to offload to an "
                    "EXTERNAL drive."},
                   {}});
  expectVerdicts(cases, defaults(), kLinuxWords);
}

}  // namespace
}  // namespace brimvale::service
