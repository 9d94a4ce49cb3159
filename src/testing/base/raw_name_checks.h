// Tests only: the checks every persisted enumeration's raw-name table must
// pass, so each unit's test covers its tables in a few lines.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "common/base/raw_names.h"

namespace brimvale::testing {

// Expects `table`'s raw strings to be exactly `pinned` (space-separated, in
// table order): they are on users' disks, so a rename strands old files.
// Expects every value and raw string to appear once, and the unit's own
// conversions `toRaw` and `fromRaw` (returning E or std::optional<E>) to agree
// with the table in both directions.
template <class E, std::size_t N, class ToRaw, class FromRaw>
void expectRawNames(const std::array<RawName<E>, N>& table, std::string_view pinned, ToRaw toRaw,
                    FromRaw fromRaw) {
  std::string joined;
  std::set<E> values;
  std::set<std::string_view> raws;
  for (const RawName<E>& row : table) {
    SCOPED_TRACE(std::string(row.raw));
    joined += (joined.empty() ? "" : " ") + std::string(row.raw);
    EXPECT_TRUE(values.insert(row.value).second) << "value listed twice";
    EXPECT_TRUE(raws.insert(row.raw).second) << "raw string listed twice";
    EXPECT_EQ(toRaw(row.value), row.raw);
    EXPECT_EQ(std::optional<E>(fromRaw(row.raw)), std::optional<E>(row.value));
  }
  EXPECT_EQ(joined, pinned);
}

}  // namespace brimvale::testing
