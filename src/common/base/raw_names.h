// One table of stable raw strings per persisted enumeration, and the two
// lookups every such table needs.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace brimvale {

template <class E>
struct RawName {
  E value;
  std::string_view raw;
};

// The raw string of `value`; the first row's when the table lacks it.
template <class E, std::size_t N>
constexpr std::string_view rawNameOf(const std::array<RawName<E>, N>& table, E value) {
  for (const auto& row : table) {
    if (row.value == value) return row.raw;
  }
  return table[0].raw;
}

// The value whose raw string is `raw`, if any.
template <class E, std::size_t N>
constexpr std::optional<E> valueOfRaw(const std::array<RawName<E>, N>& table,
                                      std::string_view raw) {
  for (const auto& row : table) {
    if (row.raw == raw) return row.value;
  }
  return std::nullopt;
}

}  // namespace brimvale
