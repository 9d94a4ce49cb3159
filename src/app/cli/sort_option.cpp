#include "app/cli/sort_option.h"

#include <vector>

namespace brimvale::app {

void sortOption(CLI::App& sub, std::string& order, const std::string& age) {
  const std::vector<std::string> names(kListingOrderNames.begin(), kListingOrderNames.end());
  sub.add_option("--sort", order, "size (largest first), age (" + age + ") or name")
      ->check(CLI::IsMember(names))
      ->capture_default_str();
}

ListingOrder sortOrder(const std::string& order) {
  return listingOrderFromRaw(order).value_or(ListingOrder::kSize);
}

}  // namespace brimvale::app
