#include "app/core/junk_copy_back.h"

#include <chrono>

#include "app/core/short_id.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "platform/linux/x11_clipboard.h"

namespace brimvale::app {
namespace {
namespace fs = std::filesystem;

constexpr std::size_t kSavedNameWidth = 40;

// One file a save puts into the folder: `bytes` written as they are, or a
// copy of `source`.
struct SaveEntry {
  fs::path target;
  std::optional<std::string> bytes;
  fs::path source;
};

// The first line of `title`, cut to a name a folder can hold: no slash, no
// control byte, no leading dot, at most kSavedNameWidth characters.
std::string savedStem(const std::string& title) {
  std::string stem = title.substr(0, title.find('\n'));
  for (char& ch : stem) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F || ch == '/' || ch == '\\') ch = ' ';
  }
  stem = trimmed(stem);
  while (!stem.empty() && stem.front() == '.') stem.erase(0, 1);
  std::size_t chars = 0;
  for (std::size_t i = 0; i < stem.size(); ++i) {
    if ((static_cast<unsigned char>(stem[i]) & 0xC0) == 0x80) continue;
    if (++chars > kSavedNameWidth) {
      stem.resize(i);
      break;
    }
  }
  stem = trimmed(stem);
  return stem.empty() ? "Scrap" : stem;
}

// A display name as a plain file name: the last part of it, or of `path`.
std::string savedFileName(const std::string& name, const std::string& path) {
  std::string plain = fs::path(name).filename().string();
  if (plain.empty() || plain == "." || plain == "..") plain = fs::path(path).filename().string();
  return plain;
}

std::expected<std::vector<SaveEntry>, ScrapSaveProblem> saveEntries(const junk::JunkItem& item,
                                                                    const fs::path& mediaDir,
                                                                    const fs::path& folder) {
  using Kind = ScrapSaveProblem::Kind;
  const std::string stem = savedStem(junk::junkTitle(item)) + " " + shortId(item.id);
  std::vector<SaveEntry> entries;
  switch (item.kind) {
    case junk::JunkKind::kText:
      entries.push_back({folder / (stem + ".txt"), item.plainText.value_or(""), {}});
      break;
    case junk::JunkKind::kRichText:
      if (item.richHTML) {
        entries.push_back({folder / (stem + ".html"), *item.richHTML, {}});
      } else {
        entries.push_back({folder / (stem + ".txt"), item.plainText.value_or(""), {}});
      }
      break;
    case junk::JunkKind::kImage: {
      const fs::path media = mediaDir / fs::path(item.mediaFile.value_or("")).filename();
      auto bytes = item.mediaFile ? readFile(media) : fail(Errc::kNotFound);
      if (!bytes) return std::unexpected(ScrapSaveProblem{Kind::kSourceGone, media.string()});
      entries.push_back({folder / (stem + ".png"), std::move(*bytes), {}});
      break;
    }
    case junk::JunkKind::kFileRef:
      entries.push_back(
          {folder / savedFileName(item.fileRefName.value_or(""), item.fileRefPath.value_or("")),
           std::nullopt, item.fileRefPath.value_or("")});
      break;
    case junk::JunkKind::kFileGroup:
      for (const auto& file : item.files.value_or(std::vector<junk::JunkFile>{}))
        entries.push_back({folder / savedFileName(file.name, file.path), std::nullopt, file.path});
      break;
  }
  for (const auto& entry : entries) {
    std::error_code ec;
    if (!entry.bytes && (entry.source.empty() || !fs::exists(fs::symlink_status(entry.source, ec))))
      return std::unexpected(ScrapSaveProblem{Kind::kSourceGone, entry.source.string()});
  }
  return entries;
}

bool savedCopyIsSame(const SaveEntry& entry, const fs::path& file) {
  auto there = readFile(file);
  if (!there) return false;
  if (entry.bytes) return *there == *entry.bytes;
  auto source = readFile(entry.source);
  return source && *source == *there;
}

// Copies a file or folder to a temporary sibling of `to`, then puts it in place.
std::error_code copyIntoPlace(const fs::path& from, const fs::path& to, bool replace) {
  const fs::path temp = temporarySibling(to);
  std::error_code ec;
  fs::copy(from, temp, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (!ec) {
    if (replace) {
      fs::rename(temp, to, ec);
    } else {
      ec = renameNoReplace(temp, to);
    }
  }
  if (ec) {
    std::error_code ignored;
    fs::remove_all(temp, ignored);
  }
  return ec;
}

// Whether `to` now holds what `entry` says, read back from the disk.
bool savedCopyLanded(const SaveEntry& entry, const fs::path& to) {
  std::error_code ec;
  if (entry.bytes) {
    auto there = readFile(to);
    return there && *there == *entry.bytes;
  }
  if (fs::is_directory(fs::symlink_status(entry.source, ec)))
    return fs::is_directory(fs::symlink_status(to, ec));
  const auto want = fs::file_size(entry.source, ec);
  return !ec && fs::file_size(to, ec) == want && !ec;
}

}  // namespace

std::string ScrapSaveProblem::sentence() const {
  switch (kind) {
    case Kind::kRefusedPlace:
      return "The scrap was not saved into " + detail +
             ": Brimvale writes only into folders inside your home folder, never into system "
             "folders or the ones it protects. The scrap is still on the board; choose a folder "
             "in your home folder.";
    case Kind::kNotAFolder:
      return detail +
             " is not a folder, so the scrap was not saved. The scrap is still on the board; give "
             "a folder that exists.";
    case Kind::kInTheWay:
      return detail + (newer ? " was changed after this scrap was made" : " is already there") +
             ", so nothing was saved and it was left as it is. The file and the scrap are both "
             "safe; choose another folder, or save again allowing files of the same name to be "
             "replaced.";
    case Kind::kSourceGone:
      return "The scrap could not be saved because " + detail +
             " is gone. Nothing was written and the board is unchanged; the scrap only pointed "
             "to it.";
    case Kind::kWriteFailed:
      return "The scrap could not be saved (" + detail +
             "). The scrap is still on the board and no file there was replaced by a partial "
             "copy; check that the folder is writable and has room, then try again.";
  }
  return detail;
}

std::expected<SavedScrap, ScrapSaveProblem> saveScrapInto(const junk::JunkItem& item,
                                                          const fs::path& mediaDir,
                                                          const fs::path& folder,
                                                          const PathPolicy& policy, bool replace) {
  using Kind = ScrapSaveProblem::Kind;
  std::error_code ec;
  if (!folder.is_absolute() || !fs::is_directory(folder, ec))
    return std::unexpected(ScrapSaveProblem{Kind::kNotAFolder, folder.string()});
  auto entries = saveEntries(item, mediaDir, folder.lexically_normal());
  if (!entries) return std::unexpected(entries.error());
  SavedScrap saved;
  // Everything is checked before the first file is written.
  std::vector<SaveEntry> toWrite;
  for (auto& entry : *entries) {
    if (auto allowed = policy.check(entry.target); !allowed)
      return std::unexpected(ScrapSaveProblem{Kind::kRefusedPlace, folder.string()});
    const auto status = fs::symlink_status(entry.target, ec);
    if (!fs::exists(status)) {
      toWrite.push_back(std::move(entry));
      continue;
    }
    const bool file = fs::is_regular_file(status);
    if (file && savedCopyIsSame(entry, entry.target)) {
      saved.unchanged.push_back(entry.target);
      continue;
    }
    if (!file || !replace) {
      const auto changed = fs::last_write_time(entry.target, ec);
      // The scrap's time on the file clock, by way of both clocks' now.
      const auto made =
          fs::file_time_type::clock::now() -
          std::chrono::duration_cast<fs::file_time_type::duration>(
              std::chrono::system_clock::now() -
              std::chrono::time_point_cast<std::chrono::system_clock::duration>(item.createdAt));
      return std::unexpected(
          ScrapSaveProblem{Kind::kInTheWay, entry.target.string(), !ec && changed > made});
    }
    toWrite.push_back(std::move(entry));
  }
  for (const auto& entry : toWrite) {
    if (entry.bytes) {
      if (auto wrote = writeFileAtomically(entry.target, *entry.bytes); !wrote)
        return std::unexpected(ScrapSaveProblem{Kind::kWriteFailed, wrote.error().message()});
    } else if (auto copied = copyIntoPlace(entry.source, entry.target, replace)) {
      return std::unexpected(
          ScrapSaveProblem{Kind::kWriteFailed, entry.target.string() + ": " + copied.message()});
    }
    if (!savedCopyLanded(entry, entry.target)) {
      return std::unexpected(ScrapSaveProblem{
          Kind::kWriteFailed, entry.target.string() + " does not hold the scrap's content"});
    }
    saved.written.push_back(entry.target);
  }
  return saved;
}

Result<platform::ClipboardOffer> junkClipboardOffer(const junk::JunkItem& item,
                                                    const std::filesystem::path& mediaDir) {
  platform::ClipboardOffer offer;
  switch (item.kind) {
    case junk::JunkKind::kText: offer.text = item.plainText.value_or(""); break;
    case junk::JunkKind::kRichText:
      offer.text = item.plainText.value_or("");
      offer.rich.html = item.richHTML.value_or("");
      offer.rich.rtfdBase64 = item.richRTFDBase64.value_or("");
      break;
    case junk::JunkKind::kFileRef:
    case junk::JunkKind::kFileGroup:
      if (item.fileRefPath) offer.filePaths.push_back(*item.fileRefPath);
      for (const auto& file : item.files.value_or(std::vector<junk::JunkFile>{}))
        offer.filePaths.push_back(file.path);
      // Where files cannot be pasted (a terminal), their paths can.
      for (const auto& path : offer.filePaths)
        offer.text += (offer.text.empty() ? "" : "\n") + path;
      break;
    case junk::JunkKind::kImage: {
      if (!item.mediaFile) return fail(Errc::kNotFound, "the scrap has no image file");
      auto bytes = readFile(mediaDir / *item.mediaFile);
      if (!bytes) return std::unexpected(bytes.error());
      offer.png.assign(bytes->begin(), bytes->end());
      break;
    }
  }
  return offer;
}

Result<void> offerFromBackground(platform::ProcessLauncher& launcher,
                                 const platform::ClipboardOffer& offer) {
  // The holder reports "1" once it owns the clipboard, or its reason. It
  // serves the offer this process already holds, so it is forked, not started.
  auto answer = launcher.startDetached([&offer](const auto& report) {
    auto clipboard = platform::X11Clipboard::open("");
    const std::string ready = clipboard
                                  ? ((*clipboard)->write(offer) ? "1" : "the X server refused it")
                                  : clipboard.error().detail;
    report(ready);
    if (ready == "1") (*clipboard)->waitUntilReplaced();
  });
  if (!answer) return std::unexpected(answer.error());
  if (*answer == "1") return {};
  return fail(Errc::kUnavailable, answer->empty() ? "the clipboard holder ended early" : *answer);
}

}  // namespace brimvale::app
