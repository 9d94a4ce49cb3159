#include "common/base/tree_walk.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace brimvale {
namespace {

// A listed folder, kept open while sub-folders of it wait to be opened or
// shares of its listing to be examined; the last of them closes it.
class SharedFolder {
 public:
  explicit SharedFolder(int fd) : fd_(fd) {}
  ~SharedFolder() { ::close(fd_); }
  SharedFolder(const SharedFolder&) = delete;
  SharedFolder& operator=(const SharedFolder&) = delete;
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_;
};

// What the threads share out: a folder waiting to be listed (its path
// relative to the root, whose last component, from `nameAt`, is its name
// inside `folder`), or, when `entries` holds raw listing records, a share of
// a large listing of `folder` (path `rel`) still to be examined.
struct Work {
  std::shared_ptr<SharedFolder> folder;
  std::string rel;
  std::size_t nameAt = 0;
  std::vector<char> entries;
};

// Entry header of the raw listing call.
struct RawEntry {
  std::uint64_t ino;
  std::int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

constexpr std::size_t kBatchBytes = 1 << 18;
// A listing longer than this (about a thousand names) is examined in shares
// of this size, so one large folder keeps every thread busy.
constexpr std::size_t kShareBytes = 1 << 15;

// Reads the whole listing of `fd` into `buf` (grown as needed, kept for the
// thread's next folder); the number of bytes read, or -1 on a read error.
long readListing(int fd, std::vector<char>& buf) {
  std::size_t used = 0;
  while (true) {
    if (buf.size() - used < kBatchBytes / 4) buf.resize(buf.size() * 2);
    const long n = ::syscall(SYS_getdents64, fd, buf.data() + used, buf.size() - used);
    if (n == 0) return static_cast<long>(used);
    if (n < 0) {
      if (errno != EINVAL) return -1;
      buf.resize(buf.size() * 2);  // one entry larger than the space left
      continue;
    }
    used += static_cast<std::size_t>(n);
  }
}

// Folders still to be listed, last in first out: a depth-first order keeps the
// descriptors held open for waiting sub-folders to about one per level.
class FolderStack {
 public:
  void push(Work work) {
    const std::lock_guard lock(mutex_);
    stack_.push_back(std::move(work));
    ready_.notify_one();
  }
  void markBusy() {
    const std::lock_guard lock(mutex_);
    ++busy_;
  }
  // The next work, or false once nothing is left and nobody can add more.
  bool take(Work& out, bool& holding) {
    std::unique_lock lock(mutex_);
    if (holding) --busy_;
    holding = false;
    if (stack_.empty() && busy_ == 0) ready_.notify_all();
    ready_.wait(lock, [&] { return !stack_.empty() || busy_ == 0; });
    if (stack_.empty()) return false;
    out = std::move(stack_.back());
    stack_.pop_back();
    ++busy_;
    holding = true;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<Work> stack_;
  unsigned busy_ = 0;
};

// Examines the raw listing records in [at, end) of the open folder `self`
// (path `rel`) and queues its sub-folders.
void examine(const std::shared_ptr<SharedFolder>& self, const std::string& rel, const char* at,
             const char* end, FolderStack& stack, unsigned thread, const TreeVisit& visit,
             std::atomic<bool>& missed) {
  const int fd = self->fd();
  struct stat st {};
  while (at < end) {
    const auto* e = reinterpret_cast<const RawEntry*>(at);
    at += e->reclen;
    const char* name = e->name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      missed = true;
      continue;
    }
    const std::string_view nameView(name);
    visit(thread, rel, nameView, st);
    if (!S_ISDIR(st.st_mode)) continue;
    Work child{self, rel, rel.size()};
    if (!rel.empty()) {
      child.rel += '/';
      ++child.nameAt;
    }
    child.rel += nameView;
    stack.push(std::move(child));
  }
}

void listFolder(int fd, const std::string& rel, std::vector<char>& buf, FolderStack& stack,
                unsigned thread, const TreeVisit& visit, std::atomic<bool>& missed) {
  const long size = readListing(fd, buf);
  if (size < 0) {
    missed = true;
    ::close(fd);
    return;
  }
  const auto self = std::make_shared<SharedFolder>(fd);
  const char* begin = buf.data();
  const char* end = begin + size;
  // All but the first share go to the stack, cut at record boundaries.
  const char* firstEnd = end;
  for (const char* at = begin; at < end;) {
    const char* shareEnd = at;
    while (shareEnd < end && static_cast<std::size_t>(shareEnd - at) < kShareBytes) {
      shareEnd += reinterpret_cast<const RawEntry*>(shareEnd)->reclen;
    }
    if (at == begin) {
      firstEnd = shareEnd;
    } else {
      stack.push(Work{self, rel, 0, std::vector<char>(at, shareEnd)});
    }
    at = shareEnd;
  }
  examine(self, rel, begin, firstEnd, stack, thread, visit, missed);
}

}  // namespace

bool walkTree(int rootFd, unsigned threads, const TreeVisit& visit) {
  FolderStack stack;
  std::atomic<bool> missed = false;
  // The root is listed through a descriptor of its own: a copy would share
  // the caller's read position, and the listing moves it to the end.
  const int first = ::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (first < 0) return false;
  auto work = [&](unsigned thread, int start) {
    std::vector<char> buf(kBatchBytes);
    if (start >= 0) listFolder(start, std::string(), buf, stack, thread, visit, missed);
    Work work;
    bool holding = start >= 0;
    while (stack.take(work, holding)) {
      if (!work.entries.empty()) {
        const char* at = work.entries.data();
        examine(work.folder, work.rel, at, at + work.entries.size(), stack, thread, visit, missed);
        work.folder.reset();
        continue;
      }
      const int fd = ::openat(work.folder->fd(), work.rel.c_str() + work.nameAt,
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      work.folder.reset();
      if (fd >= 0) {
        listFolder(fd, work.rel, buf, stack, thread, visit, missed);
      } else {
        missed = true;
      }
    }
  };
  // The first thread counts as busy from the start, so the others wait for
  // the root's sub-folders instead of finding nothing and leaving.
  stack.markBusy();
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, t, -1);
  work(0, first);
  for (auto& t : pool) t.join();
  return !missed;
}

}  // namespace brimvale
