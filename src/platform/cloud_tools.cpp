#include "platform/cloud_tools.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>

#include "common/base/process.h"
#include "common/base/text_formats.h"

namespace brimvale::platform {

namespace {

constexpr std::chrono::milliseconds kProbeDeadline{10'000};
constexpr std::chrono::milliseconds kEvictDeadline{120'000};
constexpr std::chrono::milliseconds kListDeadline{10'000};

class ToolCloudEviction final : public CloudEviction {
 public:
  ToolCloudEviction(CloudToolPaths paths, ProcessRunner run)
      : paths_(std::move(paths)), run_(std::move(run)) {}

  bool installed(EvictionTool tool) override { return access(path(tool).c_str(), X_OK) == 0; }

  bool supportsEvict(EvictionTool tool) override {
    std::optional<bool>& known = tool == EvictionTool::kBrctl ? brctl_ : fpctl_;
    if (!known) known = probe(tool);
    return *known;
  }

  bool evict(EvictionTool tool, const std::string& file) override {
    if (!supportsEvict(tool)) return false;
    return runTool(run_, path(tool), {"evict", file}, kEvictDeadline).succeeded();
  }

 private:
  const std::string& path(EvictionTool tool) const {
    return tool == EvictionTool::kBrctl ? paths_.brctl : paths_.fileproviderctl;
  }

  bool probe(EvictionTool tool) {
    const char* preset = std::getenv(tool == EvictionTool::kBrctl ? "EVICT_BRCTL_SUPPORTED"
                                                                  : "EVICT_FPCTL_SUPPORTED");
    if (preset != nullptr && std::string_view(preset) == "yes") return true;
    if (preset != nullptr && std::string_view(preset) == "no") return false;
    if (!installed(tool)) return false;
    // Usage goes to either stream depending on the tool version.
    const ProcessResult usage = runTool(run_, path(tool), {}, kProbeDeadline);
    return usageAdvertisesEvict(usage.out) || usageAdvertisesEvict(usage.err);
  }

  CloudToolPaths paths_;
  ProcessRunner run_;
  std::optional<bool> brctl_;
  std::optional<bool> fpctl_;
};

class ToolLocalSnapshots final : public LocalSnapshots {
 public:
  ToolLocalSnapshots(std::string tmutil, ProcessRunner run)
      : tmutil_(std::move(tmutil)), run_(std::move(run)) {}
  std::size_t count() override {
    if (access(tmutil_.c_str(), X_OK) != 0) return 0;
    auto listing = outputOf(run_, tmutil_, {"listlocalsnapshots", "/"}, kListDeadline);
    return listing ? countTimeMachineSnapshots(*listing) : 0;
  }

 private:
  std::string tmutil_;
  ProcessRunner run_;
};

}  // namespace

std::string_view evictionToolName(EvictionTool tool) {
  return tool == EvictionTool::kBrctl ? "brctl" : "fileproviderctl";
}

std::unique_ptr<CloudEviction> makeToolCloudEviction(CloudToolPaths paths, ProcessRunner run) {
  return std::make_unique<ToolCloudEviction>(std::move(paths), std::move(run));
}

std::unique_ptr<LocalSnapshots> makeToolLocalSnapshots(std::string tmutil, ProcessRunner run) {
  return std::make_unique<ToolLocalSnapshots>(std::move(tmutil), std::move(run));
}

bool usageAdvertisesEvict(std::string_view usage) {
  for (std::string_view line : splitLines(usage)) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (trimBlanks(line) == "evict" && line.ends_with("evict")) return true;
  }
  return false;
}

std::size_t countTimeMachineSnapshots(std::string_view listing) {
  std::size_t count = 0;
  for (std::string_view line : splitLines(listing)) {
    if (line.find("com.apple.TimeMachine") != std::string_view::npos) ++count;
  }
  return count;
}

}  // namespace brimvale::platform
