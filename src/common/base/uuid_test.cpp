#include "common/base/uuid.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

namespace brimvale {
namespace {

// Children forked after the parent made an id must not repeat each other's ids:
// two processes adding records at once key them by these.
TEST(NewUuid, ForkedChildrenDrawDifferentIds) {
  const std::string parent = newUuid();
  std::set<std::string> seen{parent};
  for (int child = 0; child < 4; ++child) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const std::string id = newUuid();
      const ssize_t wrote = write(fds[1], id.data(), id.size());
      _exit(wrote == static_cast<ssize_t>(id.size()) ? 0 : 1);
    }
    close(fds[1]);
    char buf[64] = {};
    const ssize_t got = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(got, 36);
    const std::string id(buf, 36);
    EXPECT_TRUE(std::regex_match(
        id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << id;
    EXPECT_TRUE(seen.insert(id).second) << "repeated id " << id;
  }
}

}  // namespace
}  // namespace brimvale
