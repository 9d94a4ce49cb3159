#include "service/core/marker_file.h"

#include <cstdlib>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "common/state/paths.h"

namespace brimvale::service {

std::string markerValue(const std::filesystem::path& workingFolder, std::string_view key) {
  auto text = readFile(workingFolder / kMarkerFileName);
  if (!text) return {};
  for (const auto& [k, v] : parseKeyValues(*text)) {
    if (k == key) return v;
  }
  return {};
}

Result<void> writeMarker(ServiceContext& ctx, const std::filesystem::path& workingFolder,
                         const std::string& volumeUuid, const KeyValues& extra) {
  const char* user = std::getenv("USER");
  KeyValues pairs{{"marker_version", "1"},
                  {"initialized", isots(ctx.clock())},
                  {"host", ctx.platform.host->computerName()},
                  {"user", user ? user : ""},
                  {"volume_uuid", volumeUuid.empty() ? "unknown" : volumeUuid}};
  pairs.insert(pairs.end(), extra.begin(), extra.end());
  return writeFileAtomically(workingFolder / kMarkerFileName, renderKeyValues(pairs));
}

}  // namespace brimvale::service
