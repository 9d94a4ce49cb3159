#include "platform/linux/linux_drives.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/base/temp_folder.h"

namespace brimvale::platform {
namespace {
namespace fs = std::filesystem;

using brimvale::testing::TempFolder;

const char* kMountinfo =
    "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
    "40 22 0:41 / /Volumes rw shared:20 - tmpfs tmpfs rw,size=16384k\n"
    "41 40 8:17 / /Volumes/Field\\040Drive rw,relatime shared:21 - exfat /dev/sdb1 rw\n"
    "42 40 0:52 / /Volumes/projects rw shared:22 master:3 - cifs //nas/projects rw\n"
    "43 40 8:17 / /Volumes/Fieldwork rw - vfat /dev/sdc1 rw\n";

TEST(LinuxMountHolding, PicksTheDeepestMountAtOrAboveThePath) {
  struct Case {
    const char* path;
    const char* mountPoint;
    const char* fsType;
    const char* source;
  } cases[] = {
      {"/Volumes/Field Drive/BRIM-Mac/Apps", "/Volumes/Field Drive", "exfat", "/dev/sdb1"},
      {"/Volumes/Fieldwork", "/Volumes/Fieldwork", "vfat", "/dev/sdc1"},
      {"/Volumes/Field", "/Volumes", "tmpfs", "tmpfs"},  // a prefix of a name is not below it
      {"/home/ada", "/", "ext4", "/dev/nvme0n1p2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto mount = mountHolding(kMountinfo, c.path);
    ASSERT_TRUE(mount);
    EXPECT_EQ(mount->mountPoint, c.mountPoint);
    EXPECT_EQ(mount->fsType, c.fsType);
    EXPECT_EQ(mount->source, c.source);
  }
  EXPECT_FALSE(mountHolding("garbage line\n", "/x"));
}

// Given a fake /proc, /sys and /dev tree describing a USB exFAT stick, then
// info() reports its kernel file-system name, bus, removability, device and UUID.
TEST(LinuxDriveTools, DescribesAUsbDriveFromMountSysfsAndUdevLinks) {
  TempFolder tree;
  const fs::path volume = tree.path() / "Volumes" / "Field Drive";
  fs::create_directories(volume);
  tree.file("proc/self/mountinfo",
            "22 1 259:2 / / rw - ext4 /dev/nvme0n1p2 rw\n"
            "41 22 8:17 / " +
                tree.path().string() + "/Volumes/Field\\040Drive rw - exfat /dev/sdb1 rw\n");
  tree.file("dev/sdb1", "");
  fs::create_directories(tree.path() / "dev/disk/by-uuid");
  fs::create_symlink("../../sdb1", tree.path() / "dev/disk/by-uuid/6A1F-0C2B");
  const fs::path sysDisk = tree.path() / "sys/devices/pci0000:00/usb2/2-1/host4/block/sdb";
  tree.file("sys/devices/pci0000:00/usb2/2-1/host4/block/sdb/removable", "1\n");
  fs::create_directories(sysDisk / "sdb1");
  fs::create_directories(tree.path() / "sys/class/block");
  fs::create_symlink(sysDisk / "sdb1", tree.path() / "sys/class/block/sdb1");

  LinuxDrivePaths paths;
  paths.procRoot = (tree.path() / "proc").string();
  paths.sysRoot = (tree.path() / "sys").string();
  paths.devRoot = (tree.path() / "dev").string();
  DriveInfo info = makeLinuxDriveTools(paths, runProcess)->info(volume.string());
  EXPECT_EQ(info.filesystem, "exfat");
  EXPECT_EQ(info.protocol, "USB");
  EXPECT_EQ(info.location, "External");
  EXPECT_EQ(info.removable, "Removable");
  EXPECT_EQ(info.device, "sdb1");
  EXPECT_EQ(info.uuid, "6A1F-0C2B");
  EXPECT_GT(info.totalMiB, 0u);
}

// When nothing could be mounted, the folders made to mount on are gone again,
// parents included, and a folder that was there before stays.
TEST(LinuxDriveTools, AFailedMountLeavesNoFolderItMade) {
  TempFolder tree;
  fs::create_directories(tree.path() / "media");
  LinuxDrivePaths paths;
  paths.mount = "/bin/false";
  paths.udisksctl = (tree.path() / "no-udisksctl").string();
  auto tools = makeLinuxDriveTools(paths, runProcess);
  const struct {
    const char* mountPath;
    const char* stays;  // "" for none
    const char* gone;
  } cases[] = {
      {"Volumes/Field Drive", "", "Volumes"},
      {"media/Field Drive", "media", "media/Field Drive"},
  };
  for (const auto& c : cases) {
    tools->mountVolume("", "Field Drive", (tree.path() / c.mountPath).string());
    EXPECT_FALSE(fs::exists(tree.path() / c.gone)) << c.mountPath;
    if (*c.stays) {
      EXPECT_TRUE(fs::is_directory(tree.path() / c.stays)) << c.mountPath;
    }
  }
}

}  // namespace
}  // namespace brimvale::platform
