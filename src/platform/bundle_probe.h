// The facts about an application bundle that only the operating system can
// tell: when the user last opened it and whether the system's maker signed it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/base/process.h"

namespace brimvale::platform {

class BundleProbe {
 public:
  virtual ~BundleProbe() = default;
  // Seconds since the epoch of the last time the user opened the bundle;
  // nullopt when the system keeps no such record (never opened, or unknown).
  // `executable` is the bundle's main program, empty when the bundle names none.
  [[nodiscard]] virtual std::optional<std::int64_t> lastUsed(const std::string& bundle,
                                                             const std::string& executable) = 0;
  // False whenever the signature cannot be read or names another signer.
  [[nodiscard]] virtual bool appleSigned(const std::string& bundle) = 0;
};

// The probe of the platform this program was built for; its tools run
// through `run`.
[[nodiscard]] std::unique_ptr<BundleProbe> makeHostBundleProbe(ProcessRunner run);

}  // namespace brimvale::platform
