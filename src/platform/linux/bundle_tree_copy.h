// A bundle copier of its own, started by no other program: it walks the tree
// through descriptors and keeps modes (setuid kept only when the owner is
// kept or is us), owner and group when run as root, access and modification
// times to the nanosecond (a folder's set after its contents), symbolic links
// as links, hard links as hard links, FIFOs and device nodes, and every
// extended attribute it can list.
//
// Left behind on purpose: `trusted.` and `security.` attributes that the
// destination refuses (no right to set them), access lists on a drive that
// keeps none, and the download-quarantine attribute of a bundle that came
// from a Mac (the copy starts unquarantined). Any other failure ends the copy
// as kExited with exit code 1 and a detail sentence naming the path and the
// system's reason, e.g. "Couldn't copy /Apps/X.app/Contents/big.bin: No space
// left on device." An existing destination is refused the same way before
// anything is written. Overrunning the deadline stops the copy as kTimedOut.
// A failed copy leaves its partial destination for the caller to remove.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/app_relocation_tools.h"

namespace brimvale::platform {

// Set by a download on a Mac; a bundle carried over keeps it under `user.`.
inline constexpr std::string_view kLinuxDownloadQuarantineAttribute = "user.com.apple.quarantine";

// Copies the folder `source` to the new folder `destination`. `onProgress`
// hears the running totals at most five times a second, and once at the end.
[[nodiscard]] ToolStep copyBundleTree(const std::string& source, const std::string& destination,
                                      const std::string& shortName, std::chrono::seconds deadline,
                                      const BundleCopyObserver& onProgress);

}  // namespace brimvale::platform
