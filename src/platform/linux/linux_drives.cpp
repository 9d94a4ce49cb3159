#include "platform/linux/linux_drives.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "platform/linux/linux_sources.h"

namespace brimvale::platform {
namespace {
namespace fs = std::filesystem;

constexpr std::chrono::seconds kMountDeadline{30};
constexpr std::chrono::seconds kLsofDeadline{20};

bool isAtOrBelow(std::string_view path, std::string_view mountPoint) {
  if (mountPoint == "/") return path.starts_with('/');
  return path == mountPoint || (path.starts_with(mountPoint) && path.size() > mountPoint.size() &&
                                path[mountPoint.size()] == '/');
}

bool canExecute(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

std::string canonicalOrEmpty(const fs::path& path) {
  return canonicalPath(path).value_or(fs::path()).string();
}

class LinuxDriveTools final : public DriveTools {
 public:
  LinuxDriveTools(LinuxDrivePaths paths, ProcessRunner run)
      : paths_(std::move(paths)), run_(std::move(run)) {}

  DriveInfo info(const std::string& path) override {
    DriveInfo info;
    std::string resolved = canonicalOrEmpty(path);
    if (resolved.empty()) return info;
    struct statvfs st {};
    if (statvfs(resolved.c_str(), &st) == 0) {
      info.freeMiB = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize >> 20;
      info.totalMiB = static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize >> 20;
    }
    auto mountinfo = readFile(paths_.procRoot + "/self/mountinfo");
    if (!mountinfo) return info;
    auto mount = mountHolding(*mountinfo, resolved);
    if (!mount) return info;
    FilesystemWords words = describeFilesystem(mount->fsType);
    info.filesystem = words.filesystem;
    info.protocol = words.protocol;
    if (!mount->source.starts_with("/dev/")) return info;

    // Device files are looked up under devRoot so tests can supply a tree.
    std::string device = canonicalOrEmpty(paths_.devRoot + mount->source.substr(4));
    if (device.empty()) return info;
    info.device = fs::path(device).filename().string();
    std::string sysfs = canonicalOrEmpty(paths_.sysRoot + "/class/block/" + info.device);
    if (!sysfs.empty()) {
      BusWords bus = describeBus(sysfs);
      info.location = bus.location;
      if (info.protocol.empty()) info.protocol = bus.protocol;
      // A partition has no removable flag of its own; its disk has.
      auto flag = readFile(sysfs + "/removable");
      if (!flag) flag = readFile(fs::path(sysfs).parent_path() / "removable");
      if (flag) info.removable = flag->starts_with('1') ? "Removable" : "Fixed";
    }
    std::error_code ec;
    for (fs::directory_iterator it(paths_.devRoot + "/disk/by-uuid", ec), end; !ec && it != end;
         it.increment(ec)) {
      if (canonicalOrEmpty(it->path()) == device) {
        info.uuid = it->path().filename().string();
        break;
      }
    }
    return info;
  }

  std::vector<std::string> volumeFolders() override {
    std::vector<std::string> folders{paths_.volumesRoot};
    const char* user = std::getenv("USER");
    if (user && *user) {
      folders.push_back(paths_.mediaRoot + "/" + user);
      folders.push_back(paths_.runMediaRoot + "/" + user);
    }
    folders.push_back(paths_.mntRoot);
    std::erase_if(folders, [](const std::string& f) { return !isDirectory(f).value_or(false); });
    return folders;
  }

  void mountVolume(const std::string& uuid, const std::string& name,
                   const std::string& mountPath) override {
    std::vector<std::pair<std::string, std::string>> ids;  // mount invocation, by-* link
    if (!uuid.empty()) ids.emplace_back("UUID=" + uuid, "/disk/by-uuid/" + uuid);
    if (!name.empty()) ids.emplace_back("LABEL=" + name, "/disk/by-label/" + name);
    // mount needs a folder to mount on; the folders made here (the drive's
    // and any missing above it) are removed again when nothing could be
    // mounted, so no empty "drive" or parent is left behind.
    std::vector<fs::path> made;  // deepest first
    std::error_code ec;
    for (fs::path p = fs::path(mountPath).lexically_normal(); p.has_relative_path();
         p = p.parent_path()) {
      if (fs::symlink_status(p, ec).type() != fs::file_type::not_found) break;
      made.push_back(p);
    }
    fs::create_directories(mountPath, ec);
    for (const auto& [invocation, link] : ids) {
      if (canExecute(paths_.mount) &&
          runTool(run_, paths_.mount, {invocation, mountPath}, kMountDeadline).succeeded()) {
        return;
      }
      if (canExecute(paths_.udisksctl) &&
          runTool(run_, paths_.udisksctl,
                  {"mount", "--no-user-interaction", "-b", paths_.devRoot + link}, kMountDeadline)
              .succeeded()) {
        break;
      }
    }
    // Fails harmlessly where something is mounted or was put meanwhile.
    for (const fs::path& folder : made) fs::remove(folder, ec);
  }

  Result<std::string> eject(const std::string& path) override {
    ProcessResult r = runTool(run_, paths_.umount, {path}, kMountDeadline);
    std::string output = r.out + r.err;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    if (!r.succeeded()) {
      return fail(Errc::kToolFailed, output.empty() ? r.describe() : output);
    }
    return output.empty() ? "Unmounted " + path : output;
  }

  // No desktop-neutral way to ask an application to quit exists here.
  bool askToQuit(const std::string&) override { return false; }

  std::string openFilesBelow(const std::string& path) override {
    return runTool(run_, paths_.lsof, {"+D", path}, kLsofDeadline).out;
  }

 private:
  LinuxDrivePaths paths_;
  ProcessRunner run_;
};

class LinuxServiceAgents final : public ServiceAgents {
 public:
  LinuxServiceAgents(std::string systemctl, ProcessRunner run)
      : systemctl_(std::move(systemctl)), run_(std::move(run)) {}
  bool isLoaded(const std::string& label) override {
    if (!canExecute(systemctl_)) return false;
    return runTool(run_, systemctl_, {"--user", "is-active", "--quiet", "--", label},
                   std::chrono::seconds(5))
        .succeeded();
  }

 private:
  std::string systemctl_;
  ProcessRunner run_;
};

}  // namespace

std::optional<MountEntry> mountHolding(std::string_view mountinfo, std::string_view path) {
  std::optional<MountEntry> best;
  for (std::string_view line : splitLines(mountinfo)) {
    std::vector<std::string_view> fields = splitFields(line, " ");
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 2 >= fields.size()) continue;
    std::string point = decodeMountEscapes(fields[4]);
    if (!isAtOrBelow(path, point)) continue;
    if (best && point.size() < best->mountPoint.size()) continue;
    best = MountEntry{point, decodeMountEscapes(fields[dash + 1]),
                      decodeMountEscapes(fields[dash + 2])};
  }
  return best;
}

FilesystemWords describeFilesystem(std::string_view fsType) {
  const std::string type(fsType);
  if (fsType == "nfs" || fsType == "nfs4") return {type, "NFS"};
  if (fsType == "cifs" || fsType == "smb3" || fsType == "smbfs") return {type, "SMB"};
  if (fsType == "sshfs" || fsType == "fuse.sshfs") return {type, "SSHFS"};
  return {type, ""};
}

BusWords describeBus(std::string_view sysfsDevicePath) {
  if (sysfsDevicePath.find("/usb") != std::string_view::npos) return {"External", "USB"};
  if (sysfsDevicePath.find("thunderbolt") != std::string_view::npos) {
    return {"External", "Thunderbolt"};
  }
  if (sysfsDevicePath.find("/nvme") != std::string_view::npos) return {"Internal", "PCI-Express"};
  if (sysfsDevicePath.find("/ata") != std::string_view::npos) return {"Internal", "SATA"};
  return {"Internal", ""};
}

std::unique_ptr<DriveTools> makeLinuxDriveTools(LinuxDrivePaths paths, ProcessRunner run) {
  return std::make_unique<LinuxDriveTools>(std::move(paths), std::move(run));
}

std::unique_ptr<ServiceAgents> makeLinuxServiceAgents(std::string systemctl, ProcessRunner run) {
  return std::make_unique<LinuxServiceAgents>(std::move(systemctl), std::move(run));
}

}  // namespace brimvale::platform
