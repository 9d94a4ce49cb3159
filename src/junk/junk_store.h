// The scrap board's store: the list of scraps in board order, kept in the
// items file (one JSON object per line) with images in a media folder beside
// it. Every change is saved before the call returns.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "junk/junk_item.h"
#include "junk/junk_settings.h"
#include "junk/junk_thumbnailer.h"
#include "junk/junk_ttl.h"
#include "junk/scrap_sink.h"

namespace brimvale::junk {

struct JunkStorePaths {
  std::filesystem::path items;  // state/junk-items.ndjson
  std::filesystem::path media;  // state/junk-media/
  // Lines of the items file that could not be read, kept for the user
  // instead of being dropped by the next save.
  std::filesystem::path unreadable;  // state/junk-items.ndjson.unreadable
  std::filesystem::path lock;        // state/junk-items.lock

  [[nodiscard]] static JunkStorePaths inState(const std::filesystem::path& stateDir);
};

// What a reading of the items file found.
struct JunkLines {
  std::vector<JunkItem> items;        // in board order
  std::vector<std::string> rejected;  // lines that did not decode, or repeated an id
};

// Reads the items file's text: blank lines are ignored, a line that does not
// decode is rejected, and of two lines with one id the first wins.
[[nodiscard]] JunkLines readJunkLines(std::string_view text, JunkTime now);

using JunkClock = std::function<JunkTime()>;
[[nodiscard]] JunkClock junkSystemClock();

// Thread-safe: one mutex serialises every change and its save, so saves land
// in the order they were asked for. Each change also holds a lock file and
// starts from the file on disk, so the application and a `brimvale junk`
// command changing the board at once both keep their scraps.
// A thumbnail is a few hundred pixels a side; a bigger file is not one the store wrote.
inline constexpr std::uintmax_t kJunkMaxThumbBytes = 4 * 1024 * 1024;

class JunkStore final : public ScrapSink {
 public:
  using Log = std::function<void(const std::string&)>;
  using Observer = std::function<void(const std::vector<JunkItem>&)>;

  JunkStore(const std::filesystem::path& stateDir, JunkSettings settings,
            JunkClock clock = junkSystemClock(), Log log = {});

  // Reads the items file; a missing file is an empty board. Fails (and keeps
  // the last list) only when the file is there but cannot be read.
  [[nodiscard]] Result<void> load();

  // The board as last loaded or changed, in board order.
  [[nodiscard]] std::vector<JunkItem> items() const;
  [[nodiscard]] std::optional<JunkItem> find(std::string_view id) const;

  // Called after every change that was saved, with the new list.
  void setObserver(Observer observer);

  // Inserts `item` as it is, re-sorts, trims to the limit and saves.
  [[nodiscard]] Result<JunkItem> add(JunkItem item);
  // A new scrap from `content`: createdAt now, lifetime `ttl` or the default
  // setting, not pinned. Texts are trimmed and an empty one is refused
  // (kInvalidArgument); image bytes become a PNG in the media folder, removed
  // again when the scrap cannot be saved, and its thumbnail is written there
  // shortly after the call returns.
  [[nodiscard]] Result<JunkItem> addContent(ScrapContent content,
                                            std::optional<JunkTTL> ttl = std::nullopt);
  bool addScrap(ScrapContent content) override;
  // Returns once every thumbnail of the images added so far is written; the
  // store's destruction waits for them too.
  void waitForThumbnails();

  // Replaces the scrap with item.id (kNotFound when there is none).
  [[nodiscard]] Result<void> update(const JunkItem& item);
  [[nodiscard]] Result<JunkItem> pin(std::string_view id);
  [[nodiscard]] Result<JunkItem> unpin(std::string_view id);
  // A new lifetime, counted from the scrap's creation: expiresAt becomes
  // createdAt + the lifetime. A lifetime that ran out already is refused
  // (kInvalidArgument) for a scrap that is not pinned, since the next sweep would
  // clear it at once.
  [[nodiscard]] Result<JunkItem> setLifetime(std::string_view id, JunkTTL ttl);
  // Removes the scrap and its image and thumbnail files.
  [[nodiscard]] Result<JunkItem> remove(std::string_view id);
  // Removes every scrap and its media; the count removed.
  [[nodiscard]] Result<std::size_t> clearAll();
  // Removes the scraps not pinned whose expiresAt is not after `moment`, with
  // their media, and media files no scrap names that are older than an hour
  // (left by a crash between writing an image and saving its scrap). The
  // count of scraps removed.
  [[nodiscard]] Result<std::size_t> sweep(JunkTime moment);

  // The PNG thumbnail of the image scrap `id` as last loaded: kNotFound when
  // there is no such image scrap or its thumbnail is not written (yet);
  // kInvalidArgument for a file above kJunkMaxThumbBytes. Only a name the store
  // gives is read, from the media folder itself and never through a link.
  [[nodiscard]] Result<std::string> thumbnail(std::string_view id) const;

  [[nodiscard]] const JunkStorePaths& paths() const { return paths_; }

 private:
  // Runs `change` on the list read fresh from disk under the lock file, then
  // sorts, saves and deletes the media of the scraps `change` dropped.
  template <class Change>
  auto transact(Change change) -> decltype(change(std::declval<std::vector<JunkItem>&>()));
  [[nodiscard]] Result<JunkLines> readFromDisk() const;
  [[nodiscard]] Result<void> save(const std::vector<JunkItem>& items,
                                  const std::vector<std::string>& rejected);
  void trimToLimit(std::vector<JunkItem>& items) const;
  [[nodiscard]] bool mediaFolderIsReal() const;
  void deleteMedia(const JunkItem& item) const;
  void removeStrayMedia(const std::vector<JunkItem>& items) const;
  [[nodiscard]] JunkThumbnailer* runningThumbnailer() const;
  [[nodiscard]] JunkThumbnailer& thumbnailer();
  [[nodiscard]] Result<JunkItem> changeOne(std::string_view id,
                                           const std::function<void(JunkItem&)>& edit);

  JunkStorePaths paths_;
  JunkSettings settings_;
  JunkClock clock_;
  Log log_;
  mutable std::mutex mutex_;
  std::vector<JunkItem> items_;
  Observer observer_;
  // Started with the first image, so a command that saves none (and may
  // fork to serve a copy back) runs no thread. Last, so it finishes its work
  // before the rest goes.
  mutable std::mutex thumbnailerMutex_;
  std::unique_ptr<JunkThumbnailer> thumbnailer_;
};

}  // namespace brimvale::junk
