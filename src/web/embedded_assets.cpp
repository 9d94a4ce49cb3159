#include "web/embedded_assets.h"

#include <algorithm>

namespace brimvale::web {

const Asset* findAsset(std::string_view path) {
  const auto assets = embeddedAssets();
  const auto found =
      std::lower_bound(assets.begin(), assets.end(), path,
                       [](const Asset& a, std::string_view p) { return a.path < p; });
  return found != assets.end() && found->path == path ? &*found : nullptr;
}

}  // namespace brimvale::web
