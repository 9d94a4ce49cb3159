#include "service/drive_transfer/transfer_supervisor.h"

#include <gtest/gtest.h>

namespace brimvale::service {
namespace {

// What the job's lastError quotes of the copy tool after an interrupted copy.
TEST(CopyToolSays, QuotesTheLastSpecificErrorElseTheSummary) {
  struct Case {
    const char* name;
    const char* tail;
    const char* says;
  } cases[] = {
      {"specific line wins over summary",
       "sending incremental file list\n"
       "rsync: [receiver] write failed on \"/d/a\": Input/output error (5)\n"
       "rsync error: error in file IO (code 11) at receiver.c(378)\n",
       "rsync: [receiver] write failed on \"/d/a\": Input/output error (5)"},
      {"the last specific line",
       "rsync: open \"/s/x\" failed: Permission denied (13)\n"
       "rsync: open \"/s/y\" failed: Permission denied (13)\n",
       "rsync: open \"/s/y\" failed: Permission denied (13)"},
      {"summary only", "rsync error: received SIGINT, SIGTERM, or SIGHUP (code 20)\n",
       "rsync error: received SIGINT, SIGTERM, or SIGHUP (code 20)"},
      {"nothing said", "Media/clip.mov\nsent 10 bytes\n", ""},
      {"a file named like an error is no error", "  rsync: not at line start\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(copyToolSays(c.tail), c.says);
  }
}

}  // namespace
}  // namespace brimvale::service
