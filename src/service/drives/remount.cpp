#include "service/drives/remount.h"

#include <chrono>
#include <thread>

#include "common/state/config_keys.h"
#include "service/core/marker_file.h"
#include "service/core/status_snapshot.h"
#include "service/drives/drive_folder_commands.h"

namespace brimvale::service {

SleepSeconds realSleep() {
  return [](long long seconds) {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
  };
}

bool attemptRemount(ServiceContext& ctx, const SleepSeconds& sleep) {
  const ServiceConfig& cfg = ctx.cfg();
  // No drive chosen: nothing to mount, and nowhere to mount it.
  if (!cfg.hasDrive()) return false;
  const std::string uuid = markerValue(cfg.base(), "volume_uuid");
  const std::string name = cfg.nvme().filename().string();
  ctx.log.say("Attempting remount (volume name: " + name +
              ", uuid: " + (uuid.empty() ? "unknown" : uuid) + ")...");
  const long long retries = cfg.getInt(config_keys::kRemountRetries);
  for (long long attempt = 1; attempt <= retries; ++attempt) {
    // "unknown" is what a marker written without a UUID holds.
    ctx.platform.drives->mountVolume(uuid == "unknown" ? "" : uuid, name, cfg.nvme().string());
    sleep(cfg.getInt(config_keys::kRemountBackoffSecs));
    if (driveUsable(ctx)) {
      ctx.log.say("Remount succeeded on attempt " + std::to_string(attempt) + ".");
      return true;
    }
  }
  ctx.log.say("Remount failed after " + std::to_string(retries) + " attempts.");
  return false;
}

int remountCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  return remountDrive(ctx, realSleep());
}

int remountDrive(ServiceContext& ctx, const SleepSeconds& sleep) {
  (void)attemptRemount(ctx, sleep);  // judged by the mount table below
  if (!ctx.platform.mounts->isMountedAt(ctx.cfg().nvme())) {
    ctx.out << "Failed.\n";
    return 1;
  }
  if (driveUsable(ctx)) {
    ctx.out << "Mounted.\n";
    return 0;
  }
  ctx.log.say("Remount: marker missing at " + ctx.cfg().base().string() +
              ", attempting auto-recovery…");
  (void)recoverCommand(ctx, {});  // prints its own outcome; judged by the drive below
  if (driveUsable(ctx)) {
    ctx.out << "Mounted.\n";
    return 0;
  }
  ctx.out << "Mounted but marker recovery failed — run `brvl validate` for details.\n";
  return 1;
}

}  // namespace brimvale::service
