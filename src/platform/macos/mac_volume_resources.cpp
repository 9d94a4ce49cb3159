#include <chrono>

#include "common/base/process.h"
#include "platform/macos/mac_tool_output.h"
#include "platform/volume_resources.h"

namespace brimvale::platform {
namespace {

// diskutil can take several seconds while a disk spins up.
constexpr std::chrono::milliseconds kResourcesDiskutilDeadline{15000};
constexpr std::chrono::milliseconds kDfDeadline{5000};

class MacVolumeResources final : public VolumeResources {
 public:
  MacVolumeResources(std::string df, std::string diskutil, ProcessRunner run)
      : df_(std::move(df)), diskutil_(std::move(diskutil)), run_(std::move(run)) {}

  VolumeResourceValues read(const std::string& path) override {
    VolumeResourceValues values;
    ProcessResult df = run_({.path = df_, .args = {"-k", path}, .deadline = kDfDeadline});
    if (df.succeeded()) {
      if (auto kib = parseDfKilobytes(df.out)) {
        values.totalCapacity = static_cast<std::int64_t>(kib->totalKiB * 1024);
        values.availableCapacity = static_cast<std::int64_t>(kib->availableKiB * 1024);
      }
    }
    ProcessResult info =
        run_({.path = diskutil_, .args = {"info", path}, .deadline = kResourcesDiskutilDeadline});
    if (info.succeeded()) {
      if (auto bytes = parseDiskutilFreeBytes(info.out)) {
        values.availableCapacityForImportantUsage = static_cast<std::int64_t>(*bytes);
      }
    }
    return values;
  }

 private:
  std::string df_;
  std::string diskutil_;
  ProcessRunner run_;
};

}  // namespace

std::unique_ptr<VolumeResources> makeMacVolumeResources(std::string df, std::string diskutil,
                                                        ProcessRunner run) {
  return std::make_unique<MacVolumeResources>(std::move(df), std::move(diskutil), std::move(run));
}

}  // namespace brimvale::platform
