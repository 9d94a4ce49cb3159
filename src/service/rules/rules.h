// The age floors the configuration puts under every rule, and the size
// threshold of archive_big rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/state/rule_text.h"
#include "common/state/service_config.h"

namespace brimvale::service {

// The minimum size of an archive_big rule in MiB: `extra` when it is a whole
// number, else 500.
[[nodiscard]] std::int64_t archiveBigMiB(const RuleText& rule);

struct FlooredAge {
  std::int64_t age = 0;
  std::vector<std::string> notices;  // one line per floor that raised the age
};

// Applies MIN_AGE_HARD_FLOOR_DAYS to every rule, then MIN_ARCHIVE_DAYS to the
// archive rules and MIN_DELETE_DAYS to delete_old. Floors only ever raise.
[[nodiscard]] FlooredAge applyAgeFloors(const RuleText& rule, const ServiceConfig& cfg);

}  // namespace brimvale::service
