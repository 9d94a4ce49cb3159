// The subcommands over the rules: listing them, dry and real runs, the
// cache cleanup on its own, and the two read-only reports.
#pragma once

#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

int rulesCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int dryRunCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// Refused (exit 1) without a usable drive or while paused.
int relocateNowCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// Refused (exit 1) while paused.
int cleanAppCachesCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// Per-rule matches with the ages as written (no floors, DISABLE_DELETE ignored).
int rulesPreviewCommand(ServiceContext& ctx, const std::vector<std::string>& args);
// Per-source read access: OK, DENY or MISS.
int tccCheckCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
