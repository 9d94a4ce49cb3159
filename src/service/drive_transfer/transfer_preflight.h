// Whether a drive can take the current drive's working folder: the drive's
// own verdict, space for everything, no Brimvale folder of this computer
// already there, and never inside the folder being copied.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

struct Preflight {
  std::string verdict;  // ok, warn or block
  std::string assessVerdict;
  std::uint64_t freeBytes = 0;
  std::uint64_t sourceBytes = 0;
  bool destHasStor = false;
  std::vector<std::string> reasons;
};

[[nodiscard]] Preflight preflight(ServiceContext& ctx, const std::filesystem::path& dest);

}  // namespace brimvale::service
