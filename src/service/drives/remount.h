// Bringing the drive back: the mount attempts the watch loop makes when the
// drive is missing, and the `remount` subcommand behind the remount button.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

// Sleeps the given number of seconds; tests pass one that only records.
using SleepSeconds = std::function<void(long long)>;
[[nodiscard]] SleepSeconds realSleep();

// Up to REMOUNT_RETRIES times: asks the platform to mount the drive by the
// marker's volume UUID (when readable) and then by the name of the NVMe
// path, sleeps REMOUNT_BACKOFF_SECS, and succeeds as soon as the drive is
// usable (mounted on the configured path with its marker). Says each step.
// Requires loaded configuration.
[[nodiscard]] bool attemptRemount(ServiceContext& ctx, const SleepSeconds& sleep);

// `remount`: exit 0 when the drive is usable afterwards, else 1.
int remountCommand(ServiceContext& ctx, const std::vector<std::string>& args);

// The `remount` subcommand with its sleep injected: mount, and when the
// drive is mounted but its marker is missing, lay it out again with
// `recover`. Returns the exit status.
[[nodiscard]] int remountDrive(ServiceContext& ctx, const SleepSeconds& sleep);

}  // namespace brimvale::service
