// Linux: the vault pepper kept by the desktop session's secret service
// (through libsecret) instead of a file, so a copy of the state folder alone
// does not carry the key material.
#pragma once

#include <filesystem>
#include <memory>

#include "cloud/pepper_store.h"

namespace brimvale::cloud {

// A store bound to `secretsDir` (two state folders never share a pepper), or
// nothing when the session has no bus or no secret service answers on it.
// A pepper already kept in the folder's ".pepper" file is moved into the
// secret service the first time it is read, and the file is removed only
// after the service gives the same bytes back.
[[nodiscard]] std::unique_ptr<PepperStore> makeSecretServicePepperStore(
    const std::filesystem::path& secretsDir);

}  // namespace brimvale::cloud
