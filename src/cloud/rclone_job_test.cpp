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

TEST(RcloneLogLines, ShowMessagesAndDryRunItems) {
  struct Case {
    std::string line;
    std::string text;
    std::optional<DryRunItem> wouldDo;
  } cases[] = {
      {R"j({"level":"warning","msg":"Skipped copy as --dry-run is set (size 3)","object":"a.txt",)j"
       R"j("objectType":"*local.Object","size":3,"skipped":"copy"})j",
       "a.txt: Skipped copy as --dry-run is set (size 3)", DryRunItem{"copy", "a.txt", 3}},
      {R"({"level":"info","msg":"  0 B / 0 B\n","stats":{"bytes":0}})", "0 B / 0 B", std::nullopt},
      {"2026/12/09 05:31:24 Failed to copy: directory not found",
       "Failed to copy: directory not found", std::nullopt},
      {"{not json", "{not json", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(logLineText(c.line), c.text);
    EXPECT_EQ(parseDryRunLine(c.line), c.wouldDo);
  }
}

// The sentence names the cause (a message's known cause first, else the exit
// status), says the files are safe or untouched, and the technical detail follows.
TEST(RcloneFailureText, TranslatesKnownCausesAndStatuses) {
  const TransferSides sides{"/home/me/Photos", "backup:Photos"};
  struct Case {
    int status;
    std::vector<std::string> messages;
    std::string begins;
  } cases[] = {
      {3, {"Failed to copy: directory not found"}, "The source /home/me/Photos could not be found"},
      {1,
       {"couldn't connect SSH: dial tcp 127.0.0.1:1: connect: connection refused"},
       "The server of the account backup could not be reached"},
      {7, {"googleapi: Error 403: Forbidden"}, "The server refused access to the account backup"},
      {5, {"write: no space left on device"}, "The disk of backup:Photos is full"},
      {6,
       {"x.bin: Error 403: The user's Drive storage quota has been exceeded"},
       "The storage of the account backup is used up"},
      {4, {}, "A file of /home/me/Photos disappeared"},
      {2, {"something odd"}, "The transfer stopped on an error rclone could not name."},
      {-1, {"Failed to launch rclone: No such file"}, "rclone could not be started"},
      {-15, {}, "rclone was stopped before it finished."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.begins);
    const std::string text = jobFailureText(c.status, c.messages, sides);
    EXPECT_TRUE(text.starts_with(c.begins)) << text;
    const std::string sentence = text.substr(0, text.find("\n\n"));
    EXPECT_TRUE(sentence.find("files are safe") != std::string::npos ||
                sentence.find("nothing was changed") != std::string::npos)
        << sentence;
    EXPECT_NE(text.find("\n\nrclone exited with code " + std::to_string(c.status) +
                        ". Last log lines:\n"),
              std::string::npos);
  }
}

}  // namespace
}  // namespace brimvale::cloud
