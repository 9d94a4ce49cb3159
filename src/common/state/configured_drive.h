// The drive every command works on. The configuration names it (`NVMe` in
// brim-vale.conf); the status snapshot only caches what was last measured
// there and may be missing, damaged or older than a `drives select`.
#pragma once

#include <filesystem>
#include <string>

#include "common/base/error.h"
#include "common/state/paths.h"

namespace brimvale {

// The mount path the configuration names, read afresh on every call, as the
// service reads it (the platform's default drive when the key is missing,
// normalised). Fails with kUnavailable when it names no drive (a fresh Linux
// configuration), kInvalidArgument when what it names is not a full path,
// kNotFound when there is no configuration, and the read error when it
// cannot be read; there is no fallback path.
[[nodiscard]] Result<std::filesystem::path> configuredDrive(const StatePaths& paths);

// The one sentence a command says, instead of acting, when configuredDrive
// failed with `error`.
[[nodiscard]] std::string driveUnknownMessage(const Error& error, const StatePaths& paths);

}  // namespace brimvale
