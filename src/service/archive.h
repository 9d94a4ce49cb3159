// Archiving one item into a folder of the working folder: the rule runs' way
// to move old or big files off the internal disk, leaving nothing behind.
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/error.h"
#include "service/guards.h"
#include "service/service_context.h"

namespace brimvale::service {

// Lock files and folder metadata that are never worth archiving: office
// lock files (~$x.docx, .~lock.x#), .DS_Store, "Icon\r", ._x, *.swp, *.swo.
[[nodiscard]] bool isLockOrMetadataName(std::string_view name);

// Where `name` lands in `folder`: folder/name; when taken, folder/{YYYY-mm}/
// name (local month); when that is taken too, folder/{YYYY-mm}/name.{epoch}.
// Creates the month folder when it is used.
[[nodiscard]] std::filesystem::path archiveTarget(const std::filesystem::path& folder,
                                                  const std::string& name, std::time_t now);

// Moves `src` to `target`: a rename, or across volumes
// a copy (cp -a) followed by removal of the source. The source is removed only
// after the whole copy succeeded; a failed copy removes the partial target.
// A target that already exists is never touched: Errc::kInvalidArgument.
[[nodiscard]] Result<void> plainMove(const std::filesystem::path& src,
                                     const std::filesystem::path& target);

// Archives `src` into {BASE}/{destFolder}, skipping open, cloud and
// lock/metadata items, and records the move. Every outcome is said; a failure
// leaves the item where it was and the caller goes on with the next one.
void moveToNvme(ServiceContext& ctx, Guards& guards, const std::filesystem::path& src,
                const std::string& destFolder, std::string_view reason);

}  // namespace brimvale::service
