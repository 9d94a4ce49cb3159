// Copy back from the command line: a scrap put on the clipboard as text,
// file URLs or a PNG. X11 offers die with the program that made them, so the
// offer is served by a small background process until another program takes
// the clipboard, as X clipboard tools do.
#pragma once

#include <filesystem>
#include <string>

#include "common/base/error.h"
#include "junk/junk_item.h"
#include "platform/clipboard.h"
#include "platform/platform.h"

namespace brimvale::app {

// What the clipboard gets for `item`: the text of text and note scraps, the
// rich data of rich-text scraps with their plain text as the fallback, the file paths of file
// scraps, the PNG of an image (read from `mediaDir`). kNotFound when an image's file is gone.
[[nodiscard]] Result<platform::ClipboardOffer> junkClipboardOffer(
    const junk::JunkItem& item, const std::filesystem::path& mediaDir);

// Offers `offer` on the X display from a background process and returns once
// it owns the clipboard. kUnavailable without a display.
[[nodiscard]] Result<void> offerFromBackground(platform::ProcessLauncher& launcher,
                                               const platform::ClipboardOffer& offer);

}  // namespace brimvale::app
