// The marker file `.hollin-managed` that proves a folder is a managed working
// folder: reading its keys, and writing a new one.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "common/base/error.h"
#include "common/base/text_formats.h"
#include "service/core/service_context.h"

namespace brimvale::service {

// The value after "key=" on the first line of the marker in `workingFolder`
// that starts with it; empty when the file or the key is missing.
[[nodiscard]] std::string markerValue(const std::filesystem::path& workingFolder,
                                      std::string_view key);

// Writes `{workingFolder}/.hollin-managed` with marker_version, initialized,
// host, user and volume_uuid (`unknown` when empty), then `extra` in order.
[[nodiscard]] Result<void> writeMarker(ServiceContext& ctx,
                                       const std::filesystem::path& workingFolder,
                                       const std::string& volumeUuid, const KeyValues& extra);

}  // namespace brimvale::service
