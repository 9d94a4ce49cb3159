// Deleting a transfer's source once its destination is shown to hold it, one
// file at a time: a local source through the guard, against the local copy
// or against the remote's MD5 of it; a remote source only for the files
// `rclone check` found identical. What changed, is missing at the
// destination or differs stays where it is, named.
#pragma once

#include <chrono>
#include <string>

#include "cloud/rclone_client.h"
#include "common/base/file_operations.h"
#include "common/base/guarded_removal.h"

namespace brimvale::cloud {

struct SourceRemovalRequest {
  std::string source;       // a local path or remote:path, as rclone copied it
  std::string destination;  // where rclone copied it to
  // When the first copy began: a local file changed since is compared by its bytes.
  std::chrono::system_clock::time_point copyStarted;
};

// Removes every source file the destination holds identically, and the
// folders that leaves empty (a local source's own folder included). Paths in
// the result are relative to the source. A destination that cannot be read
// removes nothing and says why in `failed`.
[[nodiscard]] GuardedRemoval removeTransferredSource(
    const RcloneClient& client, const SourceRemovalRequest& request,
    FileOperations& files = FileOperations::real());

// Whether the source holds no file any more (a local source: it is gone);
// nothing when that could not be found out.
[[nodiscard]] std::optional<bool> sourceEmptied(const RcloneClient& client,
                                                const std::string& source);

}  // namespace brimvale::cloud
