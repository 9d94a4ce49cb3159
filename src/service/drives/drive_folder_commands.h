// The working folder on the drive: `recover` lays it out and writes its
// marker, `validate` gives the preflight verdict, `show-in-finder` opens it.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/service_context.h"

namespace brimvale::service {

// The folders `recover` creates inside the working folder, in order.
extern const std::array<std::string_view, 27> kWorkingFolderLayout;

// The marker file's lines for a recovery: marker_version, initialized, host,
// user, volume_uuid, recovered_at (both times the same UTC stamp).
[[nodiscard]] std::string recoveryMarker(const std::string& isoNow, const std::string& host,
                                         const std::string& user, const std::string& uuid);

// True when `entry` (a name in the drive's parent folder) is the drive's own
// name followed by a blank and digits, as the system names a second volume
// with the same name.
[[nodiscard]] bool isDuplicateVolumeName(std::string_view entry, std::string_view driveName);

int recoverCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int validateCommand(ServiceContext& ctx, const std::vector<std::string>& args);
int showInFinderCommand(ServiceContext& ctx, const std::vector<std::string>& args);

}  // namespace brimvale::service
