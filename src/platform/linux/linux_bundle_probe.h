// The Linux bundle probe: no launch records or platform signatures exist
// here, so the last-used date is the main program's access time where the
// file system keeps one, and no bundle counts as signed by the system's maker.
#pragma once

#include <memory>

#include "platform/bundle_probe.h"

namespace brimvale::platform {

// Access times are trusted only on a file system mounted without `noatime`;
// an access time of zero (never set) is no record either.
[[nodiscard]] std::unique_ptr<BundleProbe> makeLinuxBundleProbe();

}  // namespace brimvale::platform
