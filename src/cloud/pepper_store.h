// Where the vault's 32 random pepper bytes are kept: a private file in the
// secrets folder, or the desktop session's secret service where one runs.
// Losing the pepper makes the vault undecryptable, so no store ever replaces
// one it already holds.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/error.h"

namespace brimvale::cloud {

inline constexpr std::size_t kPepperBytes = 32;

class PepperStore {
 public:
  virtual ~PepperStore() = default;
  // The pepper kept so far; nothing when none was ever made. An error when
  // one may exist but cannot be read (then no new one may be made either).
  [[nodiscard]] virtual Result<std::optional<std::string>> load() = 0;
  // Keeps `pepper` (kPepperBytes bytes); only called when load() found none.
  [[nodiscard]] virtual Result<void> keep(std::string_view pepper) = 0;
};

// The file ".pepper" in `secretsDir`: written atomically, mode 0600, with the
// folder made 0700 when it is created. A file of any other size than
// kPepperBytes is an error, never silently replaced.
[[nodiscard]] std::unique_ptr<PepperStore> makeFilePepperStore(std::filesystem::path secretsDir);

// Makes the secrets folder (0700) when it is missing; an existing folder keeps its mode.
[[nodiscard]] Result<void> ensurePrivateFolder(const std::filesystem::path& folder);

// Linux: the secret service when the session has one that answers, else the
// file in `secretsDir`. macOS: the file.
[[nodiscard]] std::unique_ptr<PepperStore> makeHostPepperStore(std::filesystem::path secretsDir);

}  // namespace brimvale::cloud
