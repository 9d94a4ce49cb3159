#include "app/core/listing_order.h"

namespace brimvale::app {

void sortOption(CLI::App& sub, std::string& order, const std::string& help) {
  const std::vector<std::string> names(kListingOrderNames.begin(), kListingOrderNames.end());
  sub.add_option("--sort", order, help)->check(CLI::IsMember(names));
}

}  // namespace brimvale::app
