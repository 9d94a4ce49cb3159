#include "app/core/junk_copy_back.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>  // renameatx_np
#include <optional>

#include "app/core/short_id.h"
#include "common/base/file_io.h"
#include "common/base/replace_guard.h"
#include "common/base/stop_point.h"
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
  // The file of that name the save replaces, as it was checked; nothing
  // when the name was free.
  std::optional<FileIdentity> replacing;
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

// The folder a save writes into, held open from its checks to its last
// write, so a folder moved away or swapped for a link meanwhile is never
// written through: each file is made and put in place inside this folder.
class PinnedSaveFolder {
 public:
  explicit PinnedSaveFolder(const fs::path& folder)
      : path_(folder), fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~PinnedSaveFolder() {
    if (fd_ >= 0) ::close(fd_);
  }
  PinnedSaveFolder(const PinnedSaveFolder&) = delete;
  PinnedSaveFolder& operator=(const PinnedSaveFolder&) = delete;

  [[nodiscard]] bool open() const { return fd_ >= 0; }
  [[nodiscard]] int fd() const { return fd_; }
  // Whether the folder's path still leads to the folder held open.
  [[nodiscard]] bool stillAtItsPath() const {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd_, &held) == 0 && ::stat(path_.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
  }

 private:
  fs::path path_;
  int fd_;
};

// Writes `bytes` to the new file `name` of the folder `dirfd`.
std::error_code writeNewFileAt(int dirfd, const std::string& name, std::string_view bytes) {
  const int fd =
      ::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return {errno, std::generic_category()};
  std::error_code ec;
  for (std::size_t done = 0; done < bytes.size() && !ec;) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) ec = {errno, std::generic_category()};
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (!ec && ::fsync(fd) != 0) ec = {errno, std::generic_category()};
  if (::close(fd) != 0 && !ec) ec = {errno, std::generic_category()};
  return ec;
}

// Puts the finished `temp` of the pinned folder in place as `name`: over the
// file that was there only when it is still exactly `replacing`, else only
// where the name is still free; on file_exists the name holds something the
// checks did not see, and it is left as it is.
std::error_code placeSaved(const PinnedSaveFolder& folder, const std::string& temp,
                           const std::string& name, const std::optional<FileIdentity>& replacing) {
  if (!folder.stillAtItsPath()) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (replacing) {
    if (identityAt(folder.fd(), name) != replacing)
      return std::make_error_code(std::errc::file_exists);
    if (::renameat(folder.fd(), temp.c_str(), folder.fd(), name.c_str()) != 0)
      return {errno, std::generic_category()};
    return {};
  }
#if defined(__linux__)
  if (::renameat2(folder.fd(), temp.c_str(), folder.fd(), name.c_str(), RENAME_NOREPLACE) == 0)
    return {};
  if (errno != EINVAL && errno != ENOSYS) return {errno, std::generic_category()};
#elif defined(__APPLE__)
  if (::renameatx_np(folder.fd(), temp.c_str(), folder.fd(), name.c_str(), RENAME_EXCL) == 0)
    return {};
  if (errno != ENOTSUP) return {errno, std::generic_category()};
#endif
  // A file system that cannot refuse to replace: a hard link can.
  if (::linkat(folder.fd(), temp.c_str(), folder.fd(), name.c_str(), 0) != 0)
    return {errno, std::generic_category()};
  (void)::unlinkat(folder.fd(), temp.c_str(), 0);
  return {};
}

// Makes `entry` in the pinned folder: its bytes, or a copy of its source,
// written to a temporary sibling first and then put in place.
std::error_code saveIntoPinned(const PinnedSaveFolder& folder, const SaveEntry& entry) {
  const std::string name = entry.target.filename().string();
  const std::string temp = temporarySibling(name).string();
  std::error_code ec;
  if (entry.bytes) {
    ec = writeNewFileAt(folder.fd(), temp, *entry.bytes);
  } else {
    // The copy goes by path; it counts only when it landed in the pinned folder.
    const fs::path tempPath = entry.target.parent_path() / temp;
    fs::copy(entry.source, tempPath, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             ec);
    const auto landed = identityAt(folder.fd(), temp);
    if (!ec && (!landed || identityAt(AT_FDCWD, tempPath) != landed))
      ec = std::make_error_code(std::errc::no_such_file_or_directory);
    if (ec) {
      std::error_code ignored;
      if (landed) fs::remove_all(tempPath, ignored);
      return ec;
    }
  }
  if (!ec) ec = placeSaved(folder, temp, name, entry.replacing);
  if (ec) {
    (void)::unlinkat(folder.fd(), temp.c_str(), 0);
    std::error_code ignored;
    if (!entry.bytes && folder.stillAtItsPath())
      fs::remove_all(entry.target.parent_path() / temp, ignored);
  }
  return ec;
}

// Whether `name` of the pinned folder now holds what `entry` says, read back
// from the disk.
bool savedCopyLanded(const PinnedSaveFolder& folder, const SaveEntry& entry) {
  const std::string name = entry.target.filename().string();
  const auto there = identityAt(folder.fd(), name);
  if (!there) return false;
  std::error_code ec;
  if (!entry.bytes) {
    if (fs::is_directory(fs::symlink_status(entry.source, ec))) return S_ISDIR(there->mode);
    const auto want = fs::file_size(entry.source, ec);
    return !ec && S_ISREG(there->mode) && static_cast<std::uintmax_t>(there->size) == want;
  }
  const int fd = ::openat(folder.fd(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::string read;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    read.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return read == *entry.bytes;
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
    case Kind::kFolderChanged:
      if (written) {
        return detail +
               " was moved or replaced just as the scrap was saved into it, so the saved file "
               "went with the folder, wherever that is now, not into what is at " +
               detail +
               " now. The scrap is still on the board; save it again if you need it there.";
      }
      return detail +
             " was moved or replaced while the scrap was being saved, so nothing was saved there. "
             "The scrap is still on the board and no file was replaced; save it again.";
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
  const PinnedSaveFolder pinned(folder);
  if (!pinned.open()) return std::unexpected(ScrapSaveProblem{Kind::kNotAFolder, folder.string()});
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
    entry.replacing = identityAt(pinned.fd(), entry.target.filename().string());
    toWrite.push_back(std::move(entry));
  }
  for (const auto& entry : toWrite) {
    stopPoint("junk:saving");
    if (const std::error_code put = saveIntoPinned(pinned, entry)) {
      if (put == std::errc::no_such_file_or_directory && !pinned.stillAtItsPath())
        return std::unexpected(ScrapSaveProblem{Kind::kFolderChanged, folder.string()});
      if (put == std::errc::file_exists)
        return std::unexpected(ScrapSaveProblem{Kind::kInTheWay, entry.target.string(), true});
      return std::unexpected(
          ScrapSaveProblem{Kind::kWriteFailed, entry.target.string() + ": " + put.message()});
    }
    stopPoint("junk:saved");
    // What is said is "saved into FOLDER": the folder must still be there.
    if (!pinned.stillAtItsPath()) {
      return std::unexpected(ScrapSaveProblem{
          .kind = Kind::kFolderChanged, .detail = folder.string(), .written = true});
    }
    if (!savedCopyLanded(pinned, entry)) {
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
