#include "common/state/gnu_rsync.h"

#include <gtest/gtest.h>

#include <string>

namespace brimvale {
namespace {

TEST(GnuRsync, RecognisesVersionLines) {
  struct Case {
    std::string line;
    bool gnu;
  };
  const std::vector<Case> cases = {
      {"rsync  version 3.2.7  protocol version 31", true},
      {"rsync  version 2.6.9  protocol version 29", false},
      {"openrsync: protocol version 29", false},
      {"rsync  version 30.1", false},
      {"rsync  version v3.4.1", false},
      {"version 3.2.7 of rsync", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(isGnuRsyncVersionLine(c.line), c.gnu);
  }
}

}  // namespace
}  // namespace brimvale
