#include "app/cli/status_entry.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "app/cli/json_option.h"
#include "app/cli/status_refresh.h"
#include "app/core/service_command.h"
#include "app/core/state_json.h"
#include "app/core/status_reader.h"
#include "app/core/status_text.h"
#include "common/base/file_calls.h"
#include "common/state/config_keys.h"
#include "common/state/paths.h"
#include "common/state/service_config.h"

namespace brimvale::app {
namespace {

constexpr std::int64_t kDefaultWatchTickSecs = 30;
constexpr std::chrono::seconds kStatusRefreshLimit{30};

struct StatusOptions {
  bool json = false;
};

void options(CLI::App& sub, StatusOptions& o) { jsonOption(sub, o.json); }

// One watch tick as configured; the service's default when the configuration can't be read.
std::int64_t watchTickSecs(const CommandContext& c) {
  auto config = loadServiceConfig(c.paths, "");
  return config ? config->getInt(config_keys::kWatchIntervalSecs) : kDefaultWatchTickSecs;
}

// Whether the drive is connected, or set up, otherwise than the snapshot says:
// a snapshot younger than one tick may still predate an unmount or a first move.
bool driveChangedSinceSnapshot(const CommandContext& c, const ServiceStatus& snapshot) {
  auto config = loadServiceConfig(c.paths, workingFolderName(c.base.host->computerName()));
  if (!config || !config->hasDrive()) return false;
  const bool mounted = c.base.mounts->isMountedAt(config->nvme().string());
  const bool markerOk = pathExists(config->base() / kMarkerFileName).value_or(false);
  return mounted != snapshot.mounted || markerOk != snapshot.markerOk;
}

int status(CommandContext& c, StatusOptions& o) {
  platform::ServiceJobState job = c.host.services->state();
  // An empty or damaged snapshot counts as none.
  const auto before = readStatus(c.paths.statusJson);
  const auto refreshed = refreshWhenStale(
      before ? writtenAt(c.paths.statusJson) : std::nullopt, std::time(nullptr), watchTickSecs(c),
      before && driveChangedSinceSnapshot(c, *before), [&] {
        return runServiceCommand(platform::runnerOf(*c.base.launcher), c.paths,
                                 c.installerOptions().rsyncPath, {"json"}, kStatusRefreshLimit)
            .succeeded();
      });
  if (o.json) {
    // Standard output stays JSON; the note goes beside it.
    if (refreshed) c.err << *refreshed << "\n";
    auto status = readStatus(c.paths.statusJson);
    if (!status) {
      c.err << status.error().message() << "\n";
      return 1;
    }
    c.out << statusJson(job, *status);
    return 0;
  }
  c.out << "Background service: "
        << (job.pid      ? "running (pid " + std::to_string(*job.pid) + ")"
            : job.loaded ? std::string("loaded, not running")
                         : std::string("not running"))
        << "\n";
  if (refreshed) c.out << *refreshed << "\n";
  auto status = readStatus(c.paths.statusJson);
  if (!status) {
    c.err << status.error().message() << "\n";
    return 1;
  }
  c.out << describeStatus(*status);
  return 0;
}

}  // namespace

CommandEntry statusEntry() {
  return commandEntry<StatusOptions>("status", "the background service's status in plain words",
                                     options, status);
}

}  // namespace brimvale::app
