#include "junk/junk_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <set>

#include "common/base/file_io.h"
#include "common/base/file_lock.h"
#include "common/base/text_formats.h"
#include "junk/junk_image.h"
#include "junk/junk_thumbnailer.h"

namespace brimvale::junk {
namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

constexpr auto kStrayMediaAge = std::chrono::hours(1);

milliseconds ttlDuration(double seconds) {
  return milliseconds(static_cast<long long>(std::llround(seconds * 1000.0)));
}

std::vector<JunkItem>::iterator findId(std::vector<JunkItem>& items, std::string_view id) {
  return std::find_if(items.begin(), items.end(), [&](const JunkItem& i) { return i.id == id; });
}

// Only names the store itself gives ("{UUID}.png", "{UUID}-thumb.png") are
// ever deleted, so a hand-edited record cannot name another file.
bool isMediaName(std::string_view name) {
  std::string_view stem;
  if (name.ends_with("-thumb.png")) {
    stem = name.substr(0, name.size() - 10);
  } else if (name.ends_with(".png")) {
    stem = name.substr(0, name.size() - 4);
  }
  if (stem.size() != 36) return false;
  for (std::size_t i = 0; i < stem.size(); ++i) {
    const char c = stem[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// The file itself, never what a link there leads to, and no more than a thumbnail's size.
Result<std::string> readThumbnailFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(Errc::kNotFound, path.string() + " is not written (yet)");
  struct stat st {};
  std::string bytes;
  Result<std::string> result = fail(Errc::kIo, "read " + path.string());
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    result = fail(Errc::kNotFound, path.string() + " is not a file");
  } else if (static_cast<std::uintmax_t>(st.st_size) > kJunkMaxThumbBytes) {
    result = fail(Errc::kInvalidArgument, path.string() + " is larger than a thumbnail");
  } else {
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t r = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    if (got == bytes.size()) result = std::move(bytes);
  }
  ::close(fd);
  return result;
}

Error noSuchScrap(std::string_view id) {
  return Error{Errc::kNotFound, "no scrap with id " + std::string(id)};
}

}  // namespace

JunkStorePaths JunkStorePaths::inState(const fs::path& stateDir) {
  return {stateDir / "junk-items.ndjson", stateDir / "junk-media",
          stateDir / "junk-items.ndjson.unreadable", stateDir / "junk-items.lock"};
}

JunkLines readJunkLines(std::string_view text, JunkTime now) {
  JunkLines out;
  std::set<std::string, std::less<>> seen;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    auto item = decodeJunkItem(line, now);
    if (!item || !seen.insert(item->id).second) {
      out.rejected.emplace_back(line);
      continue;
    }
    out.items.push_back(std::move(*item));
  }
  sortJunkBoard(out.items);
  return out;
}

JunkClock junkSystemClock() {
  return [] { return std::chrono::floor<milliseconds>(std::chrono::system_clock::now()); };
}

JunkStore::JunkStore(const fs::path& stateDir, JunkSettings settings, JunkClock clock, Log log)
    : paths_(JunkStorePaths::inState(stateDir)),
      settings_(settings),
      clock_(std::move(clock)),
      log_(std::move(log)) {}

JunkThumbnailer* JunkStore::runningThumbnailer() const {
  std::lock_guard lock(thumbnailerMutex_);
  return thumbnailer_.get();
}

JunkThumbnailer& JunkStore::thumbnailer() {
  std::lock_guard lock(thumbnailerMutex_);
  if (!thumbnailer_) thumbnailer_ = std::make_unique<JunkThumbnailer>(log_);
  return *thumbnailer_;
}

Result<JunkLines> JunkStore::readFromDisk() const {
  auto text = readFile(paths_.items);
  if (!text) {
    if (text.error().code == Errc::kNotFound) return JunkLines{};
    return std::unexpected(text.error());
  }
  return readJunkLines(*text, clock_());
}

Result<void> JunkStore::load() {
  auto lines = readFromDisk();
  if (!lines) return std::unexpected(lines.error());
  if (!lines->rejected.empty() && log_) {
    const auto count = lines->rejected.size();
    log_(std::to_string(count) + (count == 1 ? " line" : " lines") + " of " +
         paths_.items.string() + " could not be read and " + (count == 1 ? "is" : "are") +
         " kept in " + paths_.unreadable.string() + "; the rest of the board is safe.");
  }
  std::lock_guard guard(mutex_);
  items_ = std::move(lines->items);
  return {};
}

std::vector<JunkItem> JunkStore::items() const {
  std::lock_guard guard(mutex_);
  return items_;
}

std::optional<JunkItem> JunkStore::find(std::string_view id) const {
  std::lock_guard guard(mutex_);
  for (const auto& item : items_) {
    if (item.id == id) return item;
  }
  return std::nullopt;
}

void JunkStore::setObserver(Observer observer) {
  std::lock_guard guard(mutex_);
  observer_ = std::move(observer);
}

template <class Change>
auto JunkStore::transact(Change change)
    -> decltype(change(std::declval<std::vector<JunkItem>&>())) {
  std::vector<JunkItem> published;
  Observer observer;
  auto outcome = [&]() -> decltype(change(std::declval<std::vector<JunkItem>&>())) {
    std::lock_guard guard(mutex_);
    std::error_code ec;
    fs::create_directories(paths_.items.parent_path(), ec);
    auto lock = FileLock::open(paths_.lock);
    if (!lock) {
      return std::unexpected(Error{Errc::kIo, paths_.lock.string() + ": " + lock.error().detail});
    }
    if (auto held = lock->lock(); !held) return std::unexpected(held.error());
    auto lines = readFromDisk();
    if (!lines) return std::unexpected(lines.error());
    std::vector<JunkItem> items = lines->items;
    auto result = change(items);
    if (!result) return result;
    sortJunkBoard(items);
    // A change that changed nothing (a sweep with nothing due) leaves the file alone.
    if (items == lines->items && lines->rejected.empty()) {
      items_ = std::move(items);
      return result;
    }
    if (auto saved = save(items, lines->rejected); !saved) return std::unexpected(saved.error());
    // Media go only once the list without their scraps is on disk.
    std::set<std::string, std::less<>> kept;
    for (const auto& item : items) kept.insert(item.id);
    for (const auto& before : lines->items) {
      if (!kept.contains(before.id)) deleteMedia(before);
    }
    items_ = std::move(items);
    published = items_;
    observer = observer_;
    return result;
  }();
  if (outcome && observer) observer(published);
  return outcome;
}

Result<void> JunkStore::save(const std::vector<JunkItem>& items,
                             const std::vector<std::string>& rejected) {
  if (!rejected.empty()) {
    std::string aside;
    for (const auto& line : rejected) aside += line + "\n";
    // Without the copy aside the save would drop those lines for good.
    if (auto kept = appendToFile(paths_.unreadable, aside); !kept) return kept;
  }
  std::string text;
  for (const auto& item : items) text += encodeJunkItem(item) + "\n";
  return writeFileAtomically(paths_.items, text);
}

void JunkStore::trimToLimit(std::vector<JunkItem>& items) const {
  const auto limit = static_cast<std::size_t>(settings_.maxItems());
  // Pinned scraps go last, and only when pins alone overflow the board.
  while (items.size() > limit) {
    auto victim = items.end();
    for (auto it = items.begin(); it != items.end(); ++it) {
      if (victim == items.end() ||
          (it->pinned != victim->pinned ? victim->pinned : it->createdAt < victim->createdAt)) {
        victim = it;
      }
    }
    items.erase(victim);
  }
}

bool JunkStore::mediaFolderIsReal() const {
  std::error_code ec;
  return fs::symlink_status(paths_.media, ec).type() == fs::file_type::directory;
}

void JunkStore::deleteMedia(const JunkItem& item) const {
  // A link planted where the media folder was would lead deletions elsewhere.
  if (auto* running = runningThumbnailer(); running && item.thumbFile)
    running->cancel(paths_.media / *item.thumbFile);
  if (!mediaFolderIsReal()) return;
  std::error_code ec;
  for (const auto& name : {item.mediaFile, item.thumbFile}) {
    if (!name || !isMediaName(*name)) continue;
    fs::remove(paths_.media / *name, ec);
    if (ec && log_)
      log_("junk: could not delete " + (paths_.media / *name).string() + ": " + ec.message());
  }
}

void JunkStore::removeStrayMedia(const std::vector<JunkItem>& items) const {
  std::set<std::string, std::less<>> named;
  for (const auto& item : items) {
    if (item.mediaFile) named.insert(*item.mediaFile);
    if (item.thumbFile) named.insert(*item.thumbFile);
  }
  if (!mediaFolderIsReal()) return;
  std::error_code ec;
  const auto cutoff = fs::file_time_type::clock::now() -
                      std::chrono::duration_cast<fs::file_time_type::duration>(kStrayMediaAge);
  for (fs::directory_iterator it(paths_.media, ec), end; !ec && it != end; it.increment(ec)) {
    const auto name = it->path().filename().string();
    if (!isMediaName(name) || named.contains(name)) continue;
    std::error_code statEc;
    if (!it->is_regular_file(statEc) || it->last_write_time(statEc) > cutoff || statEc) continue;
    fs::remove(it->path(), statEc);
  }
}

Result<JunkItem> JunkStore::add(JunkItem item) {
  return transact([&](std::vector<JunkItem>& items) -> Result<JunkItem> {
    if (findId(items, item.id) != items.end()) {
      return fail(Errc::kInvalidArgument,
                  "a scrap with id " + item.id + " is already on the board");
    }
    items.push_back(item);
    sortJunkBoard(items);
    trimToLimit(items);
    return item;
  });
}

Result<JunkItem> JunkStore::addContent(ScrapContent content, std::optional<JunkTTL> ttl) {
  JunkItem item;
  item.id = newUuid();
  item.kind = content.kind;
  item.source = content.source;
  item.createdAt = clock_();
  item.ttlSeconds = static_cast<double>(junkTTLInfo(ttl.value_or(settings_.defaultTTL())).seconds);
  item.expiresAt = item.createdAt + ttlDuration(item.ttlSeconds);
  switch (content.kind) {
    case JunkKind::kText:
    case JunkKind::kRichText: {
      std::string text = trimmed(content.plainText);
      if (text.empty() && content.richHTML.empty() && content.richRTFDBase64.empty()) {
        return fail(Errc::kInvalidArgument, "the text is empty");
      }
      item.plainText = std::move(text);
      if (!content.richHTML.empty()) item.richHTML = std::move(content.richHTML);
      if (!content.richRTFDBase64.empty()) item.richRTFDBase64 = std::move(content.richRTFDBase64);
      break;
    }
    case JunkKind::kFileRef:
      if (content.fileRefPath.empty()) return fail(Errc::kInvalidArgument, "no file was given");
      item.fileRefPath = std::move(content.fileRefPath);
      item.fileRefName = content.fileRefName.empty()
                             ? fs::path(*item.fileRefPath).filename().string()
                             : std::move(content.fileRefName);
      break;
    case JunkKind::kFileGroup:
      if (content.files.empty()) return fail(Errc::kInvalidArgument, "no files were given");
      item.files = std::move(content.files);
      break;
    case JunkKind::kImage: {
      auto image = decodeJunkImage(content.imageBytes);
      if (!image) return std::unexpected(image.error());
      std::error_code ec;
      fs::create_directories(paths_.media, ec);
      fs::permissions(paths_.media, fs::perms::owner_all, ec);
      if (!mediaFolderIsReal()) {
        return fail(Errc::kIo,
                    paths_.media.string() + " is not a folder (a link or a file is there)");
      }
      const std::string stem = newUuid();
      item.mediaFile = stem + ".png";
      item.thumbFile = stem + "-thumb.png";
      auto wrote = writeFileAtomically(
          paths_.media / *item.mediaFile,
          std::string_view(reinterpret_cast<const char*>(image->png.data()), image->png.size()));
      if (!wrote) {
        deleteMedia(item);
        return std::unexpected(wrote.error());
      }
      auto added = add(item);
      if (!added) {
        deleteMedia(item);
        return added;
      }
      // Written a moment after the scrap is saved; deleting the scrap first
      // cancels it.
      thumbnailer().post(std::move(*image), paths_.media / *item.thumbFile);
      return added;
    }
  }
  auto added = add(item);
  if (!added) deleteMedia(item);
  return added;
}

bool JunkStore::addScrap(ScrapContent content) {
  auto added = addContent(std::move(content));
  if (!added && log_) log_("junk: a scrap was not added: " + added.error().message());
  return added.has_value();
}

void JunkStore::waitForThumbnails() {
  if (auto* running = runningThumbnailer()) running->wait();
}

Result<JunkItem> JunkStore::changeOne(std::string_view id,
                                      const std::function<void(JunkItem&)>& edit) {
  return transact([&](std::vector<JunkItem>& items) -> Result<JunkItem> {
    auto it = findId(items, id);
    if (it == items.end()) return std::unexpected(noSuchScrap(id));
    edit(*it);
    return *it;
  });
}

Result<void> JunkStore::update(const JunkItem& item) {
  auto changed = changeOne(item.id, [&](JunkItem& stored) { stored = item; });
  if (!changed) return std::unexpected(changed.error());
  return {};
}

Result<JunkItem> JunkStore::pin(std::string_view id) {
  return changeOne(id, [](JunkItem& item) { item.pinned = true; });
}

Result<JunkItem> JunkStore::unpin(std::string_view id) {
  return changeOne(id, [](JunkItem& item) { item.pinned = false; });
}

Result<JunkItem> JunkStore::setLifetime(std::string_view id, JunkTTL ttl) {
  const JunkTime now = clock_();
  return transact([&](std::vector<JunkItem>& items) -> Result<JunkItem> {
    auto it = findId(items, id);
    if (it == items.end()) return std::unexpected(noSuchScrap(id));
    const double seconds = static_cast<double>(junkTTLInfo(ttl).seconds);
    const JunkTime expires = it->createdAt + ttlDuration(seconds);
    if (!it->pinned && expires <= now) {
      return fail(Errc::kInvalidArgument, "the scrap is older than " +
                                              std::string(junkTTLInfo(ttl).label) +
                                              ", so that lifetime would clear it at once");
    }
    it->ttlSeconds = seconds;
    it->expiresAt = expires;
    return *it;
  });
}

Result<std::string> JunkStore::thumbnail(std::string_view id) const {
  auto item = find(id);
  if (!item || item->kind != JunkKind::kImage || !item->thumbFile ||
      !isMediaName(*item->thumbFile) || !mediaFolderIsReal()) {
    return fail(Errc::kNotFound, "no thumbnail for scrap " + std::string(id));
  }
  return readThumbnailFile(paths_.media / *item->thumbFile);
}

Result<JunkItem> JunkStore::remove(std::string_view id) {
  return transact([&](std::vector<JunkItem>& items) -> Result<JunkItem> {
    auto it = findId(items, id);
    if (it == items.end()) return std::unexpected(noSuchScrap(id));
    JunkItem gone = *it;
    items.erase(it);
    return gone;
  });
}

Result<std::size_t> JunkStore::clearAll() {
  return transact([](std::vector<JunkItem>& items) -> Result<std::size_t> {
    const std::size_t count = items.size();
    items.clear();
    return count;
  });
}

Result<std::size_t> JunkStore::sweep(JunkTime moment) {
  auto swept = transact([&](std::vector<JunkItem>& items) -> Result<std::size_t> {
    const auto before = items.size();
    std::erase_if(items, [&](const JunkItem& i) { return !i.pinned && i.expiresAt <= moment; });
    return before - items.size();
  });
  if (swept) {
    std::lock_guard guard(mutex_);
    removeStrayMedia(items_);
  }
  return swept;
}

}  // namespace brimvale::junk
