#include "common/base/tree_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {
namespace fs = std::filesystem;

std::size_t openDescriptors() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

void writeFileOf(const fs::path& p, std::size_t n) { std::ofstream(p) << std::string(n, 'x'); }

// Each entry is seen once, named relative to its folder, and no descriptor
// outlives the walk, whatever the thread count; a folder large enough to be
// shared out between threads included.
TEST(TreeWalk, VisitsEveryEntryOnceAndClosesEverything) {
  const brimvale::testing::TempFolder tmp("brimvale-walk-once");
  std::set<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    const std::string a = "a" + std::to_string(i % 5), b = "b" + std::to_string(i);
    fs::create_directories(tmp / a / b);
    writeFileOf(tmp / a / b / "f", 10);
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
      writeFileOf(tmp / name / "f", 1);
      expected.insert(name + "/f");
    } else {
      writeFileOf(tmp / name, 0);
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
    walkTree(root, threads,
             [&](unsigned, std::string_view folder, std::string_view name, const struct stat&) {
               const std::lock_guard lock(mutex);
               seen.insert(folder.empty() ? std::string(name)
                                          : std::string(folder) + "/" + std::string(name));
             });
    EXPECT_EQ(seen, std::multiset<std::string>(expected.begin(), expected.end()));
    EXPECT_EQ(openDescriptors(), before);
  }
  ::close(root);
}

// A caller that must see every entry is told when a folder could not be
// listed: here one shut to the (unprivileged) walker.
TEST(TreeWalk, SaysWhetherEveryFolderWasListed) {
  const brimvale::testing::TempFolder tmp("walk-whole");
  const fs::path tree = tmp.path() / "tree";
  fs::create_directories(tree / "open");
  fs::create_directories(tree / "shut");
  writeFileOf(tree / "open" / "a", 1);
  writeFileOf(tree / "shut" / "b", 1);
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
