// Copy back: a scrap put on the clipboard as text, file URLs or a PNG, or
// saved into a folder as files. X11 offers die with the program that made
// them, so the offer is served by a small background process until another
// program takes the clipboard, as X clipboard tools do.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/base/error.h"
#include "common/state/path_policy.h"
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

// Why a scrap was not saved into a folder; each case has one sentence.
struct ScrapSaveProblem {
  enum class Kind {
    kRefusedPlace,   // the path policy refuses the place (detail: the folder)
    kNotAFolder,     // the folder is missing or is no folder (detail: the folder)
    kInTheWay,       // something else has the name (detail: the path)
    kFolderChanged,  // the folder was moved or replaced while saving (detail: the folder)
    kSourceGone,     // the image or the file the scrap points to is gone (detail: the path)
    kWriteFailed,    // writing or checking the copy failed (detail: the reason)
  };
  Kind kind = Kind::kWriteFailed;
  std::string detail;
  // kInTheWay: the file there was changed after the scrap was made.
  bool newer = false;
  // kFolderChanged: the file was already saved into the folder when it moved.
  bool written = false;

  [[nodiscard]] std::string sentence() const;
};

struct SavedScrap {
  std::vector<std::filesystem::path> written;
  // Files already in the folder with the very same content, left as they were.
  std::vector<std::filesystem::path> unchanged;
};

// Saves `item` into `folder` (absolute): a text or note as "{first words}
// {short id}.txt", rich text as .html (its plain text as .txt when it has no
// HTML), an image as a .png of its media file, and the files of a file
// scrap under their own names. Every name is checked against `policy` and
// for something in the way before anything is written; a different file of
// the same name is replaced only with `replace`, and never a folder or a
// link. Each copy is read back before it counts as saved. Files are made in
// the folder that was checked, and put in place only while its path still
// leads to it and the name holds what the checks saw.
[[nodiscard]] std::expected<SavedScrap, ScrapSaveProblem> saveScrapInto(
    const junk::JunkItem& item, const std::filesystem::path& mediaDir,
    const std::filesystem::path& folder, const PathPolicy& policy, bool replace);

}  // namespace brimvale::app
