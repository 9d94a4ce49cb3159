#include "common/base/file_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "testing/base/temp_folder.h"

namespace brimvale {
namespace {

FileLock openedLock(const std::filesystem::path& path) {
  auto opened = FileLock::open(path);
  EXPECT_TRUE(opened.has_value()) << opened.error().message();
  return opened ? std::move(*opened) : FileLock();
}

TEST(FileLock, TheLockEndsWithUnlockDestructionOrAMoveAway) {
  brimvale::testing::TempFolder dir("bv-file-lock");
  const auto path = dir / "b.lock";
  const struct {
    const char* name;
    void (*end)(FileLock&);
  } kEnds[] = {
      {"unlock", [](FileLock& l) { l.unlock(); }},
      {"destroyed", [](FileLock& l) { l = FileLock(); }},
      {"moved then destroyed", [](FileLock& l) { FileLock taken(std::move(l)); }},
  };
  for (const auto& c : kEnds) {
    SCOPED_TRACE(c.name);
    FileLock holder = openedLock(path);
    ASSERT_TRUE(holder.lock().has_value());
    FileLock other = openedLock(path);
    ASSERT_EQ(other.tryLock(), false);
    c.end(holder);
    EXPECT_FALSE(holder.locked());
    EXPECT_EQ(other.tryLock(), true);
  }
}

TEST(FileLock, AWaitingLockIsGrantedWhenTheHolderExits) {
  brimvale::testing::TempFolder dir("bv-file-lock");
  const auto path = dir / "d.lock";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto held = FileLock::open(path);
    if (!held || !held->lock()) _exit(1);
    (void)!write(ready[1], "r", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  FileLock waiting = openedLock(path);
  EXPECT_EQ(waiting.tryLock(), false);
  EXPECT_TRUE(waiting.lock().has_value());
  EXPECT_TRUE(waiting.locked());
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace brimvale
