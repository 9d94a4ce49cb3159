// Finishing a transfer: pointing the configuration at the new drive, from
// the commit command or from the watch tick when a commit died midway.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "service/core/service_context.h"
#include "service/drive_transfer/transfer_store.h"

namespace brimvale::service {

inline constexpr std::string_view kSwitchFailed =
    "The switch couldn't be completed. Your old drive still has everything — nothing was "
    "deleted.";

// Points the configuration at the job's destination and ends the job; the
// switch is never undone. When it fails the job goes back to `copied`, still
// holding the lock, with the cause in lastError, so the switch can be retried.
// Returns that sentence, or nothing on success. Runs under the control lock.
[[nodiscard]] std::optional<std::string> switchToDestination(ServiceContext& ctx,
                                                             TransferStore& store);

}  // namespace brimvale::service
