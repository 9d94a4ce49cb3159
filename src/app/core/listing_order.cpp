#include "app/core/listing_order.h"

#include <sys/stat.h>

namespace brimvale::app {

void sortOption(CLI::App& sub, std::string& order, const std::string& help) {
  const std::vector<std::string> names(kListingOrderNames.begin(), kListingOrderNames.end());
  sub.add_option("--sort", order, help)->check(CLI::IsMember(names));
}

std::optional<std::time_t> folderChangedAt(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_mtime;
}

}  // namespace brimvale::app
