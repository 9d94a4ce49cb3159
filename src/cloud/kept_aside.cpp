#include "cloud/kept_aside.h"

#include <cerrno>
#include <string>

#include "common/base/timestamps.h"

namespace brimvale::cloud {

std::expected<std::filesystem::path, std::error_code> keepAside(FileOperations& ops,
                                                                const std::filesystem::path& file,
                                                                std::time_t now) {
  std::string base = file.string() + ".unreadable-" + formatLocal(now, "%Y%m%d%H%M%S");
  for (int attempt = 1; attempt <= 100; ++attempt) {
    std::filesystem::path aside = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    std::error_code ec = ops.renameNoReplace(file, aside);
    if (!ec) return aside;
    if (ec.value() != EEXIST) return std::unexpected(ec);
  }
  return std::unexpected(std::error_code(EEXIST, std::generic_category()));
}

}  // namespace brimvale::cloud
