#include "common/base/tree_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "common/base/disk_usage.h"
#include "common/base/process.h"
#include "testing/temp_folder.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

std::size_t openDescriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

void writeBytes(const fs::path& p, std::size_t n) { std::ofstream(p) << std::string(n, 'x'); }

// What a plain one-thread walk through the standard library finds: the
// figures every size reported before the raw batched walker came in.
TreeSurvey plainSurvey(const fs::path& root) {
  TreeSurvey out;
  std::uint64_t blocks = 0;
  std::map<std::pair<dev_t, ino_t>, std::uint64_t> linked;
  auto take = [&](const fs::path& p, const std::string& rel) {
    struct stat st {};
    if (lstat(p.c_str(), &st) != 0) return;
    const std::int64_t ns = std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
    if (ns > out.newestNanos || (ns == out.newestNanos && rel >= out.newestPath)) {
      out.newestNanos = ns;
      out.newestSeconds = st.st_mtime;
      out.newestPath = rel;
    }
    if (S_ISDIR(st.st_mode)) {
      blocks += st.st_blocks;
      return;
    }
    out.apparentBytes += st.st_size;
    if (st.st_nlink > 1) {
      linked[{st.st_dev, st.st_ino}] = st.st_blocks;
    } else {
      blocks += st.st_blocks;
    }
  };
  take(root, "");
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec),
       end;
       it != end; it.increment(ec)) {
    take(it->path(), it->path().lexically_relative(root).string());
  }
  for (const auto& [_, b] : linked) blocks += b;
  out.allocatedBytes = (blocks * 512 + 1023) / 1024 * 1024;
  return out;
}

std::uint64_t duSk(const fs::path& p) {
  ProcessResult r = runProcess({.path = "/usr/bin/du", .args = {"-sk", "--", p.string()}});
  return std::stoull(r.out) * 1024;
}

// The batched walker against the plain walk and du, on the trees where a
// walker goes wrong: many folders for both threads, hard links met by
// different threads, holes, and a folder that may not be entered. (Links and
// odd names are covered by the disk usage tests.)
TEST(TreeWalk, SurveysMatchThePlainWalkAndDu) {
  const testing::TempFolder tmp("brimvale-walk");
  struct Case {
    const char* name;
    void (*build)(const fs::path&);
  };
  const Case cases[] = {
      {"many folders of small files",
       [](const fs::path& d) {
         for (int i = 0; i < 300; ++i) {
           const fs::path sub = d / ("d" + std::to_string(i % 60)) / ("e" + std::to_string(i));
           fs::create_directories(sub);
           for (int j = 0; j < 7; ++j) writeBytes(sub / ("f" + std::to_string(j)), i * 37 + j);
         }
       }},
      {"hard links in different folders",
       [](const fs::path& d) {
         for (int i = 0; i < 20; ++i) fs::create_directories(d / ("h" + std::to_string(i)));
         writeBytes(d / "h0" / "orig", 300000);
         for (int i = 1; i < 20; ++i) {
           fs::create_hard_link(d / "h0" / "orig", d / ("h" + std::to_string(i)) / "again");
         }
       }},
      {"sparse file",
       [](const fs::path& d) {
         const int fd = ::open((d / "sparse").c_str(), O_CREAT | O_WRONLY, 0644);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(::pwrite(fd, "end", 3, 64 << 20), 3);
         ::close(fd);
       }},
      {"one folder too large for one thread, hard links across its shares",
       [](const fs::path& d) {
         for (int i = 0; i < 6000; ++i) {
           const fs::path f = d / ("file-" + std::to_string(i));
           if (i % 1000 == 999) {
             fs::create_hard_link(d / "file-0", f);
           } else {
             writeBytes(f, i % 3 == 0 ? 5000 : 10);
           }
           if (i % 1500 == 0) {
             fs::create_directory(d / ("sub-" + std::to_string(i)));
             writeBytes(d / ("sub-" + std::to_string(i)) / "inner", i + 1);
           }
         }
       }},
      {"unreadable folder",
       [](const fs::path& d) {
         fs::create_directories(d / "shut" / "below");
         writeBytes(d / "shut" / "below" / "f", 50000);
         writeBytes(d / "open", 4000);
         fs::permissions(d / "shut", fs::perms::none);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = tmp / c.name;
    fs::create_directory(dir);
    c.build(dir);
    const TreeSurvey plain = plainSurvey(dir);
    const std::uint64_t du = duSk(dir);
    // Several runs: the threads share the folders out differently each time.
    for (int run = 0; run < 4; ++run) {
      const auto survey = surveyTree(dir);
      ASSERT_TRUE(survey);
      EXPECT_EQ(survey->allocatedBytes, plain.allocatedBytes);
      EXPECT_EQ(survey->allocatedBytes, du);
      EXPECT_EQ(survey->apparentBytes, plain.apparentBytes);
      EXPECT_EQ(survey->newestNanos, plain.newestNanos);
      EXPECT_EQ(survey->newestPath, plain.newestPath);
    }
    fs::permissions(dir, fs::perms::owner_all);
    std::error_code ec;
    if (fs::exists(dir / "shut")) fs::permissions(dir / "shut", fs::perms::owner_all, ec);
  }
}

// Each entry is seen once, named relative to its folder, and no descriptor
// outlives the walk, whatever the thread count; a folder large enough to be
// shared out between threads included.
TEST(TreeWalk, VisitsEveryEntryOnceAndClosesEverything) {
  const testing::TempFolder tmp("brimvale-walk-once");
  std::set<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    const std::string a = "a" + std::to_string(i % 5), b = "b" + std::to_string(i);
    fs::create_directories(tmp / a / b);
    writeBytes(tmp / a / b / "f", 10);
    expected.insert(a);
    expected.insert(a + "/" + b);
    expected.insert(a + "/" + b + "/f");
  }
  fs::create_directory(tmp / "wide");
  expected.insert("wide");
  for (int i = 0; i < 4000; ++i) {
    const std::string name = "wide/entry-" + std::to_string(i);
    if (i % 800 == 0) {
      fs::create_directory(tmp / name);
      writeBytes(tmp / name / "f", 1);
      expected.insert(name + "/f");
    } else {
      writeBytes(tmp / name, 0);
    }
    expected.insert(name);
  }
  const int root = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    const std::size_t before = openDescriptors();
    std::mutex mutex;
    std::multiset<std::string> seen;
    std::atomic<bool> threadInRange{true};
    walkTree(
        root, threads,
        [&](unsigned thread, std::string_view folder, std::string_view name, const struct stat&) {
          if (thread >= threads) threadInRange = false;
          const std::lock_guard lock(mutex);
          seen.insert(folder.empty() ? std::string(name)
                                     : std::string(folder) + "/" + std::string(name));
        });
    EXPECT_EQ(seen, std::multiset<std::string>(expected.begin(), expected.end()));
    EXPECT_TRUE(threadInRange);
    EXPECT_EQ(openDescriptors(), before);
  }
  ::close(root);
}

// A caller that must see every entry is told when a folder could not be
// listed: here one shut to the (unprivileged) walker.
TEST(TreeWalk, SaysWhetherEveryFolderWasListed) {
  const testing::TempFolder tmp("walk-whole");
  const fs::path tree = tmp.path() / "tree";
  fs::create_directories(tree / "open");
  fs::create_directories(tree / "shut");
  writeBytes(tree / "open" / "a", 1);
  writeBytes(tree / "shut" / "b", 1);
  for (const fs::path& p : {tmp.path(), tree, tree / "open"}) fs::permissions(p, fs::perms(0755));
  auto walkedWhole = [&] {
    const pid_t child = fork();
    if (child == 0) {
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
      const int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      _exit(fd >= 0 && walkTree(
                           fd, 2,
                           [](unsigned, std::string_view, std::string_view, const struct stat&) {})
                ? 0
                : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  fs::permissions(tree / "shut", fs::perms(0755));
  EXPECT_EQ(walkedWhole(), 0);
  fs::permissions(tree / "shut", fs::perms::none);
  EXPECT_EQ(walkedWhole(), 1);
  fs::permissions(tree / "shut", fs::perms(0755));
}

}  // namespace
}  // namespace brimvale
