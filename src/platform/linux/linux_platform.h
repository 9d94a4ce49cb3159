// The Linux backend: /proc, statvfs, sysfs and the desktop session's tools.
// Every file root and tool path is replaceable so tests can point it at a
// fake tree or a stand-in program.
#pragma once

#include <string>

#include "platform/linux/linux_drives.h"
#include "platform/platform.h"

namespace brimvale::platform {

struct LinuxPaths {
  std::string procRoot = "/proc";
  std::string powerSupplyRoot = "/sys/class/power_supply";
  std::string machineInfo = "/etc/machine-info";
  std::string userRuntimeDir;  // empty: /run/user/{uid}
  std::string xprintidle;      // empty: looked up in the system folders
  std::string loginctl = "/usr/bin/loginctl";
  // logind keeps one state file per user with a session here; without it
  // loginctl is not asked (a spawn per snapshot costs more than the rest).
  std::string logindUsersDir = "/run/systemd/users";
  std::string busctl = "/usr/bin/busctl";
  std::string gdbus = "/usr/bin/gdbus";
  std::string findmnt = "/usr/bin/findmnt";
  std::string opener;  // empty: xdg-open from the system folders, if any
  LinuxDrivePaths drives;
  CloudToolPaths cloudTools;
};

// Idle time is the smallest reading of the sources present: X11
// (xprintidle, when DISPLAY is set) and logind (the user's graphical session,
// when it is idle). With no interactive session at all it is the time since
// boot; with a session but no reading it is 0. Each tool call has a 2 s
// deadline. Notifications go to the session bus when there is one and are
// dropped otherwise. "Is this path open" scans /proc/*/fd, cwd and exe.
[[nodiscard]] Platform makeLinuxPlatform(LinuxPaths paths);

}  // namespace brimvale::platform
