// The service's status snapshot in plain words, as `brimvale status` prints
// it and `brimvale run` reports each new snapshot.
#pragma once

#include <string>

#include "app/core/status_reader.h"

namespace brimvale::app {

// Several lines, each ending in a newline: the drive, the startup disk,
// automatic actions and pause, quiet hours, and the last run and event when
// known. Byte counts use the file-style formatter when the snapshot has them.
[[nodiscard]] std::string describeStatus(const ServiceStatus& status);

// One line for the run loop's log: "service status at {timestamp}: drive
// ..., {free} free on the startup disk".
[[nodiscard]] std::string statusSummaryLine(const ServiceStatus& status);

}  // namespace brimvale::app
