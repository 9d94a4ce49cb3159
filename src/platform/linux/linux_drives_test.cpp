#include "platform/linux/linux_drives.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "testing/temp_folder.h"

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
      {"/Volumes/Field Drive", "/Volumes/Field Drive", "exfat", "/dev/sdb1"},
      {"/Volumes/Field Drive/BRIM-Mac/Apps", "/Volumes/Field Drive", "exfat", "/dev/sdb1"},
      {"/Volumes/Fieldwork", "/Volumes/Fieldwork", "vfat", "/dev/sdc1"},
      {"/Volumes/Field", "/Volumes", "tmpfs", "tmpfs"},  // a prefix of a name is not below it
      {"/Volumes/projects/x", "/Volumes/projects", "cifs", "//nas/projects"},
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
  DriveInfo info = makeLinuxDriveTools(paths)->info(volume.string());
  EXPECT_EQ(info.filesystem, "exfat");
  EXPECT_EQ(info.protocol, "USB");
  EXPECT_EQ(info.location, "External");
  EXPECT_EQ(info.removable, "Removable");
  EXPECT_EQ(info.device, "sdb1");
  EXPECT_EQ(info.uuid, "6A1F-0C2B");
  EXPECT_GT(info.totalMiB, 0u);

  DriveInfo missing = makeLinuxDriveTools(paths)->info((tree.path() / "nowhere").string());
  EXPECT_EQ(missing.filesystem, "");
  EXPECT_EQ(missing.totalMiB, 0u);
}

// Given temporary folders standing in for /Volumes, /media, /run/media and
// /mnt, then the folders that exist are listed, in that order, and only the
// current user's media folder.
TEST(LinuxDriveTools, ListsTheMountFoldersOfTheLayoutThatExists) {
  struct Case {
    const char* name;
    std::vector<std::string> made;  // folders created below the tree
    const char* user;               // nullptr: USER unset
    std::vector<std::string> listed;
  };
  const Case cases[] = {
      {"nothing mounted anywhere", {}, "ada", {}},
      {"a Mac-style /Volumes only", {"Volumes"}, "ada", {"Volumes"}},
      {"Debian and Ubuntu desktops", {"media/ada", "mnt"}, "ada", {"media/ada", "mnt"}},
      {"Fedora and Arch desktops", {"run-media/ada"}, "ada", {"run-media/ada"}},
      {"everything at once",
       {"Volumes", "media/ada", "run-media/ada", "mnt"},
       "ada",
       {"Volumes", "media/ada", "run-media/ada", "mnt"}},
      {"another user's media is not ours", {"media/bob", "run-media/bob"}, "ada", {}},
      {"no user: only the shared folders",
       {"Volumes", "media/ada", "mnt"},
       nullptr,
       {"Volumes", "mnt"}},
  };
  const char* user = std::getenv("USER");
  const std::optional<std::string> userBefore =
      user ? std::optional<std::string>(user) : std::nullopt;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder tree;
    for (const auto& folder : c.made) fs::create_directories(tree.path() / folder);
    // A file where a folder could be is not a folder to list.
    if (c.made.empty()) tree.file("mnt", "");
    LinuxDrivePaths paths;
    paths.volumesRoot = (tree.path() / "Volumes").string();
    paths.mediaRoot = (tree.path() / "media").string();
    paths.runMediaRoot = (tree.path() / "run-media").string();
    paths.mntRoot = (tree.path() / "mnt").string();
    if (c.user) {
      setenv("USER", c.user, 1);
    } else {
      unsetenv("USER");
    }
    std::vector<std::string> expected;
    for (const auto& folder : c.listed) expected.push_back((tree.path() / folder).string());
    EXPECT_EQ(makeLinuxDriveTools(paths)->volumeFolders(), expected);
  }
  if (userBefore) {
    setenv("USER", userBefore->c_str(), 1);
  } else {
    unsetenv("USER");
  }
}

}  // namespace
}  // namespace brimvale::platform
