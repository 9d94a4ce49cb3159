// The "Free Up Space" run behind the application's main button: relocate by
// rule, clean application caches, optionally evict downloaded cloud files,
// then report and write state/last-free-space.txt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

// "+{d}" above zero, "{d}" below, "±0" at zero.
[[nodiscard]] std::string deltaLabel(std::int64_t delta);

// `free-space`: exit 1 while paused, else 0; a missing drive skips only the
// relocation step.
int freeSpaceCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
