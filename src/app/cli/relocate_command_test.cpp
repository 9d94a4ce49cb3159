#include "app/cli/relocate_command.h"

#include <gtest/gtest.h>

#include <sstream>

namespace brimvale::app {
namespace {

TEST(Relocate, MovesInTurnAndStopsAtTheFirstFailureNamingEachFoldersState) {
  struct Case {
    const char* name;
    std::vector<std::string> folders;
    std::vector<int> statuses;  // what each move gives, in turn
    int status;
    std::vector<std::string> moved;  // the folders the mover was asked to move
    std::vector<std::string> lines;  // expected state lines
  };
  const Case cases[] = {
      {"all relocate", {"a", "b"}, {0, 0}, 0, {"a", "b"}, {"  a: relocated", "  b: relocated"}},
      {"the second fails",
       {"a", "b", "c"},
       {0, 1, 0},
       1,
       {"a", "b"},
       {"  a: relocated", "  b: stopped here (exit status 1)", "  c: not started"}},
      {"the first is refused",
       {"a", "b"},
       {2, 0},
       2,
       {"a"},
       {"  a: stopped here (exit status 2)", "  b: not started"}},
      {"none named", {}, {}, 2, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> moved;
    std::ostringstream out, err;
    MoveOptions options;
    options.yes = true;
    const int status = relocateCommand(
        c.folders, options,
        [&](const MoveOptions& o) {
          EXPECT_TRUE(o.yes) << "the options reach every move";
          moved.push_back(o.folder);
          return c.statuses[moved.size() - 1];
        },
        out, err);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(moved, c.moved);
    for (const auto& line : c.lines) EXPECT_NE(out.str().find(line), std::string::npos) << line;
    if (c.folders.empty()) {
      EXPECT_NE(err.str().find("needs at least one folder"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace brimvale::app
