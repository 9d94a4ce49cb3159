// Reading whole folders through descriptors, and a queue of folders that
// several threads work through: the walks over a folder to be moved touch
// every entry of trees with tens of thousands of files, so they look names up
// relative to an open folder instead of resolving long paths again and again.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brimvale {

// A name in a folder and its kind as the listing reports it.
struct FolderEntry {
  std::string name;
  unsigned char type = 0;  // DT_* from the listing; DT_UNKNOWN when the file system does not say
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
