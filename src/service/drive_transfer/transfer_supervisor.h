// The supervisor process of a transfer job (`__xfer-supervise`): runs the
// copy, folds its progress into the store, verifies the result by checksum
// and records how it ended.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

// Runs the job recorded in the store to its next resting phase; always 0.
int superviseTransfer(ServiceContext& ctx);

// The copy tool's arguments for copying the working folder `source` into
// `dest`, and for checking that copy file by file by checksum.
[[nodiscard]] std::vector<std::string> copyArguments(const std::string& source,
                                                     const std::string& dest);
[[nodiscard]] std::vector<std::string> checkArguments(const std::string& source,
                                                      const std::string& dest);

// The copy tool's own account of what went wrong, from what it wrote to
// `tail`: its last specific error line ("rsync: ..."), else its summary
// ("rsync error: ..."); empty when none.
[[nodiscard]] std::string copyToolSays(std::string_view tail);

}  // namespace brimvale::service
