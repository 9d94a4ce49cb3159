#include "platform/macos/mac_drives.h"

#include <chrono>
#include <utility>
#include <vector>

#include "common/base/process.h"
#include "common/base/text_formats.h"
#include "platform/macos/mac_tool_output.h"

namespace brimvale::platform {
namespace {

// diskutil can take several seconds while a disk spins up; ejecting waits
// for the disk to flush.
constexpr std::chrono::seconds kDiskutilDeadline{15};
constexpr std::chrono::seconds kEjectDeadline{60};
constexpr std::chrono::seconds kQuickDeadline{5};
constexpr std::chrono::seconds kDrivesLsofDeadline{20};

std::string fieldAfterKey(std::string_view output, std::string_view key) {
  for (std::string_view line : splitLines(output)) {
    std::size_t at = line.find(key);
    if (at == std::string_view::npos) continue;
    std::size_t colon = line.find(':', at + key.size());
    if (colon == std::string_view::npos) continue;
    return std::string(trimBlanks(line.substr(colon + 1)));
  }
  return {};
}

class MacDriveTools final : public DriveTools {
 public:
  MacDriveTools(MacToolPaths tools, ProcessRunner run)
      : tools_(std::move(tools)), run_(std::move(run)) {}

  DriveInfo info(const std::string& path) override {
    DriveInfo info;
    ProcessResult diskutil = runTool(run_, tools_.diskutil, {"info", path}, kDiskutilDeadline);
    if (diskutil.succeeded()) info = parseDiskutilDriveFields(diskutil.out);
    ProcessResult df = runTool(run_, tools_.df, {"-m", path}, kQuickDeadline);
    // Same columns as `df -k`, counted in MiB.
    if (auto sizes = df.succeeded() ? parseDfKilobytes(df.out) : std::nullopt) {
      info.totalMiB = sizes->totalKiB;
      info.freeMiB = sizes->availableKiB;
    }
    return info;
  }

  std::vector<std::string> volumeFolders() override { return {tools_.volumesRoot}; }

  void mountVolume(const std::string& uuid, const std::string& name, const std::string&) override {
    // An encrypted volume is unlocked from the login keychain by the system.
    if (!uuid.empty()) (void)runTool(run_, tools_.diskutil, {"mount", uuid}, kEjectDeadline);
    if (!name.empty()) (void)runTool(run_, tools_.diskutil, {"mount", name}, kEjectDeadline);
  }

  Result<std::string> eject(const std::string& path) override {
    ProcessResult r = runTool(run_, tools_.diskutil, {"eject", path}, kEjectDeadline);
    std::string output = withoutTrailingNewlines(r.out + r.err);
    if (!r.succeeded()) return fail(Errc::kToolFailed, output.empty() ? r.describe() : output);
    return output;
  }

  bool askToQuit(const std::string& app) override {
    return runTool(run_, tools_.osascript,
                   {"-e", "tell application \"" + appleScriptEscaped(app) + "\" to quit"},
                   kQuickDeadline)
        .succeeded();
  }

  std::string openFilesBelow(const std::string& path) override {
    return runTool(run_, tools_.lsof, {"+D", path}, kDrivesLsofDeadline).out;
  }

 private:
  MacToolPaths tools_;
  ProcessRunner run_;
};

class MacServiceAgents final : public ServiceAgents {
 public:
  MacServiceAgents(std::string launchctl, ProcessRunner run)
      : launchctl_(std::move(launchctl)), run_(std::move(run)) {}
  bool isLoaded(const std::string& label) override {
    ProcessResult r = runTool(run_, launchctl_, {"list"}, kQuickDeadline);
    return r.succeeded() && r.out.find(label) != std::string::npos;
  }

 private:
  std::string launchctl_;
  ProcessRunner run_;
};

}  // namespace

DriveInfo parseDiskutilDriveFields(std::string_view output) {
  DriveInfo info;
  info.filesystem = fieldAfterKey(output, "File System Personality");
  info.protocol = fieldAfterKey(output, "Protocol");
  info.removable = fieldAfterKey(output, "Removable Media");
  info.location = fieldAfterKey(output, "Device Location");
  info.device = fieldAfterKey(output, "Device Identifier");
  info.uuid = fieldAfterKey(output, "Volume UUID");
  return info;
}

std::unique_ptr<DriveTools> makeMacDriveTools(MacToolPaths tools, ProcessRunner run) {
  return std::make_unique<MacDriveTools>(std::move(tools), std::move(run));
}

std::unique_ptr<ServiceAgents> makeMacServiceAgents(MacToolPaths tools, ProcessRunner run) {
  return std::make_unique<MacServiceAgents>(std::move(tools.launchctl), std::move(run));
}

}  // namespace brimvale::platform
