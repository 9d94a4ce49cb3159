// The macOS backend: runs the system's tools by absolute path (each one
// replaceable, so tests can put stand-ins there) and reads their output.
#pragma once

#include <string>

#include "platform/platform.h"

namespace brimvale::platform {

struct MacToolPaths {
  std::string diskutil = "/usr/sbin/diskutil";
  std::string df = "/bin/df";
  std::string mount = "/sbin/mount";
  std::string ioreg = "/usr/sbin/ioreg";
  std::string pmset = "/usr/bin/pmset";
  std::string scutil = "/usr/sbin/scutil";
  std::string hostname = "/bin/hostname";
  std::string pgrep = "/usr/bin/pgrep";
  std::string osascript = "/usr/bin/osascript";
  std::string lsof = "/usr/sbin/lsof";
  std::string stat = "/usr/bin/stat";
  std::string open = "/usr/bin/open";
  std::string launchctl = "/bin/launchctl";
  std::string volumesRoot = "/Volumes";
  CloudToolPaths cloudTools;
};

// A tool that fails, hangs past its deadline or prints nothing usable gives
// the documented fallback value (zeros, "not mounted", 100 %, empty name).
[[nodiscard]] Platform makeMacPlatform(MacToolPaths tools);

}  // namespace brimvale::platform
