#include "cloud/rclone_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "cloud/cloud_testing.h"
#include "testing/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;
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

// Joined with spaces, so that a whole argument list reads as one line.
std::string joined(const Args& args) {
  std::string out;
  for (const auto& arg : args) out += (out.empty() ? "" : " ") + arg;
  return out;
}

TEST(RcloneJobArguments, FullListsInOrder) {
  RcloneJobParameters local{
      .mode = JobMode::kCopy, .source = "/a", .destination = "/b", .transfers = 8, .checkers = 16};
  EXPECT_EQ(joined(rcloneJobArguments(local, typesOf({}))),
            "copy /a /b --transfers 8 --checkers 16 --fast-list --use-server-modtime --metadata "
            "--update --use-json-log --stats 1s --stats-one-line --log-level INFO");

  RcloneJobParameters cloud{.mode = JobMode::kBisync,
                            .source = "/a",
                            .destination = "bucket:x/y",
                            .transfers = 4,
                            .checkers = 8,
                            .bandwidthLimit = "10M",
                            .dryRun = true,
                            .bisyncResync = true};
  EXPECT_EQ(joined(rcloneJobArguments(cloud, typesOf({{"bucket", "s3"}}))),
            "bisync --resync /a bucket:x/y --transfers 4 --checkers 8 --bwlimit 10M --fast-list "
            "--use-server-modtime --metadata --use-json-log --stats 1s --stats-one-line "
            "--log-level INFO --dry-run --retries 10 --low-level-retries 20 --retries-sleep 5s "
            "--partial-suffix .partial --checksum");
}

TEST(RcloneJobArguments, ConditionalFlags) {
  const auto types = typesOf({{"backup", "drive"},
                              {"work-drive", "sftp"},
                              {"media", "sftp"},
                              {"store", "s3"},
                              {"dbx", "dropbox"}});
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
      {"a sync keeps its own way of replacing",
       {.mode = JobMode::kSyncOneWay, .source = "/a", .destination = "/b", .rerunSuffix = ".k"},
       {"sync"},
       {"--update", "--suffix"}},
      {"bisync without resync",
       {.mode = JobMode::kBisync, .source = "/a", .destination = "/b"},
       {"bisync"},
       {"--resync", "--update"}},
      {"resync only belongs to bisync",
       {.mode = JobMode::kCopy, .source = "/a", .destination = "/b", .bisyncResync = true},
       {},
       {"--resync"}},
      {"empty bandwidth limit",
       {.mode = JobMode::kCopy, .source = "/a", .destination = "/b", .bandwidthLimit = ""},
       {},
       {"--bwlimit"}},
      {"remote named like a drive drops fast-list",
       {.source = "/a", .destination = "work-drive:x"},
       {"--retries"},
       {"--fast-list", "--checksum"}},
      {"drive type with a plain name keeps fast-list",
       {.source = "backup:x", .destination = "/b"},
       {"--fast-list", "--checksum"},
       {}},
      {"photo in the source name",
       {.source = "GPhotos:album", .destination = "/b"},
       {},
       {"--fast-list"}},
      {"unknown remote gets retries, no checksum",
       {.source = "/a", .destination = "ghost:x"},
       {"--retries", "--partial-suffix"},
       {"--checksum"}},
      {"checksum when either side has one",
       {.source = "media:x", .destination = "dbx:y"},
       {"--checksum"},
       {}},
      {"colon after slash is local",
       {.source = "/Users/me/a:b", .destination = "/b"},
       {},
       {"--retries", "--checksum"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Args args = rcloneJobArguments(c.job, types);
    for (const auto& flag : c.present) EXPECT_TRUE(has(args, flag)) << flag;
    for (const auto& flag : c.absent) EXPECT_FALSE(has(args, flag)) << flag;
    // Checksums are only ever asked for together with the retry flags.
    if (has(args, "--checksum")) {
      EXPECT_LT(std::find(args.begin(), args.end(), "--retries") - args.begin(),
                std::find(args.begin(), args.end(), "--checksum") - args.begin());
    }
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
      {R"({"stats":{"bytes":1.0e3,"totalBytes":2048.0,"transfers":2,"totalTransfers":2,)"
       R"("speed":7,"errors":3}})",
       RcloneStats{1000, 2048, 2, 2, 7.0, 3, std::nullopt}},
      {R"j({"level":"info","msg":"Copied (new)","object":"x"})j", std::nullopt},
      {"2026/01/01 NOTICE: not json", std::nullopt},
      {R"({"stats":"text"})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(parseStatsLine(c.line), c.sample);
  }
}

TEST(RcloneJobFailure, Texts) {
  const std::vector<std::string> plain{"l1", "l2", "l3", "l4", "l5", "l6"};
  EXPECT_EQ(jobFailureText(3, plain, "/b"),
            "rclone exited with code 3. Last log lines:\nl2\nl3\nl4\nl5\nl6");
  const std::vector<std::string> bucket{"x", "ERROR: NoSuchBucket: no such bucket"};
  const std::string fix =
      "\n\nFix: open Preferences \u2192 Accounts \u2192 store \u2192 Edit, set the **Bucket** "
      "field to your actual S3 bucket name, and re-run this transfer. Brimvale will prepend the "
      "bucket on every future path.\n\nrclone exited with code 1. Last log lines:\nx\nERROR: "
      "NoSuchBucket: no such bucket";
  struct Case {
    std::string destination;
    std::string expected;
  } cases[] = {
      {"store:photos/2024",
       "Transfer failed because the S3 bucket couldn't be found.\n\nrclone parsed `photos` as "
       "the bucket name, but no bucket with that name exists on `store`." +
           fix},
      {"store:",
       "Transfer failed because the S3 bucket couldn't be found.\n\nrclone needs a bucket name "
       "as the first path component (`remote:bucket/key`)." +
           fix},
      {"/local/only",
       "rclone exited with code 1. Last log lines:\nx\nERROR: NoSuchBucket: no "
       "such bucket"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination);
    EXPECT_EQ(jobFailureText(1, bucket, c.destination), c.expected);
  }
  EXPECT_NE(jobFailureText(1, bucket, ":photos").find("exists on `(unknown)`"), std::string::npos);
}

struct JobRecord {
  std::mutex mutex;
  std::vector<RcloneStats> samples;
  std::vector<std::string> lines;
  std::optional<int> status;

  RcloneJobCallbacks callbacks() {
    return {.progress =
                [this](const RcloneStats& s) {
                  std::lock_guard lock(mutex);
                  samples.push_back(s);
                },
            .logLine =
                [this](const std::string& line) {
                  std::lock_guard lock(mutex);
                  lines.push_back(line);
                },
            .exited =
                [this](int code) {
                  std::lock_guard lock(mutex);
                  status = code;
                }};
  }
};

// Cancelling and a missing rclone are covered through the sync manager,
// which runs every job this way.
TEST(RcloneJob, CopiesLocallyAndReportsProgress) {
  brimvale::testing::TempFolder work("bv-job");
  work.file("from/a.txt", "alpha");
  work.file("from/sub/b.bin", std::string(300'000, 'b'));
  RcloneJobParameters job{.source = (work / "from").string(),
                          .destination = (work / "to").string()};
  JobRecord record;
  auto started = startRcloneJob(testing::realRclone(), rcloneJobArguments(job, typesOf({})),
                                record.callbacks());
  ASSERT_TRUE(started.has_value());
  (*started)->wait();
  EXPECT_EQ(record.status, 0);
  ASSERT_FALSE(record.samples.empty());
  EXPECT_EQ(record.samples.back().totalTransfers, 2);
  EXPECT_EQ(record.samples.back().bytes, 300'005);
  EXPECT_TRUE(fs::exists(work / "to" / "sub" / "b.bin"));
  EXPECT_GE(record.lines.size(), record.samples.size());
}

}  // namespace
}  // namespace brimvale::cloud
