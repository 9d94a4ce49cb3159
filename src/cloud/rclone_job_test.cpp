#include "cloud/rclone_job.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace brimvale::cloud {
namespace {

using Args = std::vector<std::string>;

RemoteTypeLookup typesOf(std::map<std::string, std::string> remotes) {
  return [remotes](const std::string& name) -> std::optional<std::string> {
    auto found = remotes.find(name);
    if (found == remotes.end()) return std::nullopt;
    return found->second;
  };
}

bool has(const Args& args, const std::string& flag) {
  return std::find(args.begin(), args.end(), flag) != args.end();
}

TEST(RcloneJobArguments, ConditionalFlags) {
  struct Case {
    std::string what;
    RcloneJobParameters job;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {"move updates",
       {.mode = JobMode::kMove, .source = "/a", .destination = "/b"},
       {"move", "--update"},
       {"--retries", "--checksum", "--partial-suffix", "--dry-run"}},
      {"a copy run again after an interruption compares sizes and keeps what it replaces",
       {.mode = JobMode::kCopy, .source = "/a", .destination = "/b", .rerunSuffix = ".kept-1"},
       {"copy", "--suffix", ".kept-1", "--use-json-log"},
       {"--update"}},
      {"unknown remote gets retries, no checksum",
       {.source = "/a", .destination = "ghost:x"},
       {"--retries", "--partial-suffix"},
       {"--checksum"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Args args = rcloneJobArguments(c.job, typesOf({}));
    for (const auto& flag : c.present) EXPECT_TRUE(has(args, flag)) << flag;
    for (const auto& flag : c.absent) EXPECT_FALSE(has(args, flag)) << flag;
  }
}

TEST(RcloneStatsLine, ParsesSamples) {
  struct Case {
    std::string line;
    std::optional<RcloneStats> sample;
  } cases[] = {
      {R"({"level":"info","stats":{"bytes":10,"totalBytes":100,"transfers":1,)"
       R"("totalTransfers":4,"speed":2.5,"errors":0,"transferring":[{"name":"a/b.txt"},)"
       R"({"name":"c"}]}})",
       RcloneStats{10, 100, 1, 4, 2.5, 0, "a/b.txt"}},
      {R"j({"level":"info","msg":"Copied (new)","object":"x"})j", std::nullopt},
      {R"({"stats":"text"})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(parseStatsLine(c.line), c.sample);
  }
}

}  // namespace
}  // namespace brimvale::cloud
