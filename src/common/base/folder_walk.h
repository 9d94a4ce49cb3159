// Reading folders: whole listings through descriptors, a queue of folders that
// several threads work through (the walks over a folder to be moved touch tens
// of thousands of entries, so names are looked up relative to an open folder),
// and entry-by-entry listings with each entry's own metadata for the rule run.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brimvale {

// A name in a folder, its kind and its inode number as the listing reports them.
struct FolderEntry {
  std::string name;
  unsigned char type = 0;  // DT_* from the listing; DT_UNKNOWN when the file system does not say
  ino_t inode = 0;
};

// An open folder, closed on destruction; never follows a link at `path`.
class OpenFolder {
 public:
  explicit OpenFolder(const std::string& path);
  // `name` inside the open folder `parentFd` (or relative to the working
  // folder with AT_FDCWD): deep trees stay reachable without long paths.
  OpenFolder(int parentFd, const std::string& name);
  ~OpenFolder();
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;
  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  [[nodiscard]] int fd() const { return fd_; }
  // Every entry but "." and "..", read before anything in the folder changes
  // (renames during a listing may show a name twice); nothing on a read error.
  [[nodiscard]] std::optional<std::vector<FolderEntry>> entries() const;

 private:
  int fd_ = -1;
};

// An entry of a listing with its own (not followed) metadata. Names may hold
// any byte, newlines included: nothing here goes through text that could split them.
struct DirEntry {
  std::filesystem::path path;
  struct stat info {};  // lstat of the entry: a link is a link

  [[nodiscard]] bool isRegular() const { return S_ISREG(info.st_mode); }
  [[nodiscard]] bool isDirectory() const { return S_ISDIR(info.st_mode); }
  // Modified more than `days` × 24 hours before `now`.
  [[nodiscard]] bool olderThan(std::int64_t days, std::time_t now) const {
    return modifiedBefore(info, days, now);
  }
  [[nodiscard]] static bool modifiedBefore(const struct stat& info, std::int64_t days,
                                           std::time_t now) {
    return now - info.st_mtime > days * 86400;
  }
};

// The read test before any walk: the folder opens and its first entry can
// be read. False when privacy protection or permissions deny the listing.
[[nodiscard]] bool canListFolder(const std::filesystem::path& folder);

// Calls `visit` with each direct entry of `folder` (without . and ..) in the
// order the system returns them, without holding the listing in memory;
// false when the folder cannot be opened. An entry that vanishes between
// listing and lstat is left out. `visit` must not change the folder.
bool forEachEntry(const std::filesystem::path& folder,
                  const std::function<void(const DirEntry&)>& visit);

// The names of the direct entries of `folder` whose metadata `keep`
// accepts, in the order the system lists them. The names are read first and
// examined on a few threads, so `keep` must be safe to call from several at
// once; nullopt when the folder cannot be opened or read. An entry that
// vanishes between listing and lstat is left out.
[[nodiscard]] std::optional<std::vector<std::string>> selectNames(
    const std::filesystem::path& folder, const std::function<bool(const struct stat&)>& keep);

// forEachEntry collected into a list; nullopt when the folder cannot be opened.
[[nodiscard]] std::optional<std::vector<DirEntry>> listEntries(const std::filesystem::path& folder);

// Regular files at depth 1 or 2 below `folder` (entries of its direct
// sub-folders; linked folders are not entered).
[[nodiscard]] std::vector<DirEntry> filesToDepthTwo(const std::filesystem::path& folder);

// Threads for a walk: two on small machines, at most four.
[[nodiscard]] unsigned walkThreads();

// Runs `visit` on every folder task, on `threads` threads; a visit returns the
// tasks it found (subfolders) and they are queued in turn. Each thread gets its
// own index, so visits can keep results per thread without locking.
// A visit that throws ends the walk: the other threads stop taking folders
// and the exception is rethrown here once they have finished.
template <class Task>
void visitFolders(std::vector<Task> initial, unsigned threads,
                  const std::function<std::vector<Task>(Task&, unsigned thread)>& visit) {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Task> queue(std::make_move_iterator(initial.begin()),
                         std::make_move_iterator(initial.end()));
  unsigned busy = 0;
  std::exception_ptr failure;
  auto work = [&](unsigned index) {
    std::unique_lock lock(mutex);
    while (true) {
      ready.wait(lock, [&] { return !queue.empty() || busy == 0; });
      if (queue.empty()) return;  // nothing queued and nobody left who could queue more
      Task task = std::move(queue.front());
      queue.pop_front();
      ++busy;
      lock.unlock();
      std::vector<Task> found;
      try {
        found = visit(task, index);
      } catch (...) {
        lock.lock();
        if (!failure) failure = std::current_exception();
        queue.clear();
        --busy;
        ready.notify_all();
        return;
      }
      lock.lock();
      --busy;
      if (!failure) {
        for (auto& t : found) queue.push_back(std::move(t));
      }
      ready.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < threads; ++i) pool.emplace_back(work, i);
  work(0);
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace brimvale
