// Rule strings ("action | src | dest | age | extra") and the age floors the
// configuration puts under them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/service_config.h"

namespace brimvale::service {

struct Rule {
  std::string action;  // archive_old, archive_big, delete_old, app_cache_clean
  std::string src;
  std::string dest;
  std::string ageText;  // as written, trimmed
  std::string extra;    // everything after the fourth '|', trimmed
  std::int64_t age = 0;  // ageText as whole days; empty or non-numeric is 0
};

// Splits at the first four '|' and trims every field of blanks, tabs and
// line ends. Missing fields are empty.
[[nodiscard]] Rule parseRule(std::string_view text);

// The minimum size of an archive_big rule in MiB: `extra` when it is a whole
// number, else 500.
[[nodiscard]] std::int64_t archiveBigMiB(const Rule& rule);

struct FlooredAge {
  std::int64_t age = 0;
  std::vector<std::string> notices;  // one line per floor that raised the age
};

// Applies MIN_AGE_HARD_FLOOR_DAYS to every rule, then MIN_ARCHIVE_DAYS to the
// archive rules and MIN_DELETE_DAYS to delete_old. Floors only ever raise.
[[nodiscard]] FlooredAge applyAgeFloors(const Rule& rule, const ServiceConfig& cfg);

}  // namespace brimvale::service
