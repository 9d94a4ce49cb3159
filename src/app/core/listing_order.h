// The order a listing is shown in (`--sort size|age|name`): the same three
// words and the same meaning in every listing that has sizes and ages.
#pragma once

#include <algorithm>
#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace brimvale::app {

enum class ListingOrder { kSize, kAge, kName };

inline constexpr std::array<std::string_view, 3> kListingOrderNames = {"size", "age", "name"};

[[nodiscard]] inline std::optional<ListingOrder> listingOrderFromRaw(std::string_view raw) {
  for (std::size_t i = 0; i < kListingOrderNames.size(); ++i) {
    if (kListingOrderNames[i] == raw) return static_cast<ListingOrder>(i);
  }
  return std::nullopt;
}

// --sort size|age|name bound to `order`, described by `help`; the listing
// keeps its own order while it is not given (`order` left empty).
void sortOption(CLI::App& sub, std::string& order, const std::string& help);

// A folder's own last change (an entry added, removed or renamed in it), the
// time the age order goes by for folders; nothing when it cannot be read.
[[nodiscard]] std::optional<std::time_t> folderChangedAt(const std::string& path);

// Largest first, oldest first (rows without a time last) or by name; rows
// that compare equal keep the order they came in. `size`, `time` and `name`
// read a row's bytes, its optional time and its name.
template <class Row, class Size, class Time, class Name>
void sortListing(std::vector<Row>& rows, ListingOrder order, Size size, Time time, Name name) {
  std::ranges::stable_sort(rows, [&](const Row& a, const Row& b) {
    switch (order) {
      case ListingOrder::kSize: return size(a) > size(b);
      case ListingOrder::kName: return name(a) < name(b);
      case ListingOrder::kAge: {
        const auto ta = time(a);
        const auto tb = time(b);
        if (!ta || !tb) return ta.has_value() && !tb.has_value();
        return *ta < *tb;
      }
    }
    return false;
  });
}

}  // namespace brimvale::app
