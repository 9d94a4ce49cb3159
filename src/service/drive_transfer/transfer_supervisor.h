// The supervisor process of a transfer job (`__xfer-supervise`): runs the
// copy, folds its progress into the store, verifies the result by checksum
// and records how it ended.
#pragma once

#include <string>
#include <string_view>

#include "service/core/service_context.h"

namespace brimvale::service {

// Runs the job recorded in the store to its next resting phase; always 0.
int superviseTransfer(ServiceContext& ctx);

// The copy tool's own account of what went wrong, from what it wrote to
// `tail`: its last specific error line ("rsync: ..."), else its summary
// ("rsync error: ..."); empty when none.
[[nodiscard]] std::string copyToolSays(std::string_view tail);

}  // namespace brimvale::service
