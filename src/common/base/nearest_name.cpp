#include "common/base/nearest_name.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace brimvale {

std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::optional<std::string_view> nearestName(std::string_view typed,
                                            std::span<const std::string_view> known) {
  const std::size_t allowed = std::max<std::size_t>(2, typed.size() / 3);
  std::optional<std::string_view> best;
  std::size_t bestDistance = allowed + 1;
  for (std::string_view name : known) {
    const std::size_t distance = editDistance(typed, name);
    if (distance < bestDistance) {
      best = name;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace brimvale
