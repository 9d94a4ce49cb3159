// brim-vale status, json, actions, log and the shared start-up steps, run as
// the real program against a temporary home and a real tmpfs drive.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "common/base/file_io.h"
#include "e2e_harness.h"

namespace brimvale::e2e {
namespace {
namespace fs = std::filesystem;

std::string configFor(const fs::path& drive) {
  return "# Brimvale configuration\nNVMe=\"" + drive.string() +
         "\"\nENABLE_AUTO_ACTIONS=1\n"
         "RULES=(\n  \"archive|$HOME/Downloads|*.dmg|30|\"\n  \"\"\n)\nAPP_CACHE_PATHS=()\n";
}

TEST(ServiceCoreE2E, SnapshotReportsTheDriveInEachState) {
  TmpfsDrive drive("e2e-core-" + std::to_string(getpid()));
  BRIMVALE_REQUIRE_DRIVE(drive);
  const fs::path notMounted = drive.path().string() + "-absent";

  struct Case {
    const char* name;
    fs::path nvme;
    bool withMarker;
    bool mounted;
    const char* statusLine;
  };
  const Case cases[] = {
      {"usable", drive.path(), true, true, "NVMe:     mounted at {p}  (free "},
      {"marker missing", drive.path(), false, true,
       "NVMe:     mounted at {p} but MARKER MISSING\n"},
      {"not mounted", notMounted, false, false, "NVMe:     NOT MOUNTED\n"},
  };
  const fs::path workingFolder = drive.path() / thisWorkingFolderName();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome home;
    home.writeConfig(configFor(c.nvme));
    fs::remove_all(workingFolder);
    if (c.withMarker) {
      fs::create_directories(workingFolder);
      std::ofstream(workingFolder / ".hollin-managed") << "version=1\n";
    }

    ProcessResult json = runBrimVale(home, {"json"});
    ASSERT_TRUE(json.succeeded()) << json.describe() << json.err;
    EXPECT_EQ(json.out, readFile(home.state() / "status.json").value());
    auto doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["mounted"], c.mounted);
    EXPECT_EQ(doc["marker_ok"], c.withMarker);
    if (c.withMarker) {
      EXPECT_EQ(doc["nvme_total_bytes"], 64ull << 20);
      EXPECT_EQ(doc["nvme_total_gb"], 0);
    } else {
      EXPECT_TRUE(doc["nvme_free_gb"].is_null());
      EXPECT_TRUE(doc["nvme_total_gb"].is_null());
      EXPECT_EQ(doc["nvme_free_bytes"], 0);
      EXPECT_EQ(doc["nvme_total_bytes"], 0);
    }
    EXPECT_TRUE(doc["last_run"].is_null());
    EXPECT_EQ(doc["rule_count"], 1) << "the empty element is not a rule";
    EXPECT_EQ(doc["low_space_warn_gb"], 40);
    EXPECT_GT(doc["internal_total_bytes"].get<std::uint64_t>(), 0u);

    ProcessResult status = runBrimVale(home, {"status"});
    ASSERT_TRUE(status.succeeded());
    std::string line =
        std::regex_replace(std::string(c.statusLine), std::regex("\\{p\\}"), c.nvme.string());
    EXPECT_TRUE(status.out.starts_with("== brim-vale status ==\n" + line)) << status.out;
  }
}

// Given a last run and a log line with a quote and a tab, then the snapshot
// carries both, cleaned; everything the start-up steps create is private.
TEST(ServiceCoreE2E, SnapshotCarriesLastRunAndACleanLastEventAndFilesArePrivate) {
  TempHome home;
  home.writeConfig("NVMe=/Volumes/none\nLOW_SPACE_WARN_GB=\nQUIET_MODE=nightly\n");
  ASSERT_TRUE(runBrimVale(home, {"actions"}).succeeded());  // lays out the state folder
  std::ofstream(home.state() / "last-auto-run") << "2026-05-01 03:00 (scheduled)\n";
  std::ofstream(home.path() / ".brimvale" / "brim-vale.log", std::ios::app)
      << "2026-05-01 03:00:00  moved \"big\"\tfolder\n";

  ProcessResult json = runBrimVale(home, {"json"});
  ASSERT_TRUE(json.succeeded());
  struct Private {
    fs::path path;
    mode_t mode;
  };
  const Private created[] = {
      {home.state(), 0700},
      {home.state() / "status.json", 0600},
      {home.path() / ".brimvale" / "brim-vale.log", 0600},
      {home.path() / ".brimvale" / "brim-vale.actions.tsv", 0600},
  };
  for (const auto& c : created) {
    SCOPED_TRACE(c.path);
    struct stat st {};
    ASSERT_EQ(stat(c.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode);
  }
  for (const auto& entry : fs::directory_iterator(home.state())) {
    EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
  }
  EXPECT_NE(json.out.find("\"last_event\": \"2026-05-01 03:00:00  moved \\\"big\\\"folder\""),
            std::string::npos)
      << json.out;
  auto doc = nlohmann::json::parse(json.out);
  EXPECT_EQ(doc["last_run"], "2026-05-01 03:00 (scheduled)");
  EXPECT_EQ(doc["low_space_warn_gb"], 40) << "an empty value takes the default";
  EXPECT_EQ(doc["quiet_hours"], true);
  EXPECT_EQ(doc["quiet_reason"], "unknown QUIET_MODE='nightly'");
}

TEST(ServiceCoreE2E, ActionsPrintsTheTailAsJson) {
  TempHome home;
  ProcessResult empty = runBrimVale(home, {"actions"});
  ASSERT_TRUE(empty.succeeded());
  EXPECT_EQ(empty.out, "[]\n");

  std::ofstream(home.path() / ".brimvale" / "brim-vale.actions.tsv")
      << "2026-05-01 03:00:01\tmove\t/a\t/b\t1\n"
      << "2026-05-01 03:00:02\tmove\t/c\t/d\t2\n"
      << "2026-05-01 03:00:03\tdelete\t/e\t-\t3\n"
      << "2026-05-01 03:00:04\tmove\t/Users/ada/\"q\"\\x\t/f\t4096\n"
      << "2026-05-01 03:00:05\tdelete-cache\t/g\t-\t\n";
  ProcessResult two = runBrimVale(home, {"actions", "2"});
  ASSERT_TRUE(two.succeeded());
  EXPECT_EQ(
      two.out,
      "[\n"
      R"({"ts":"2026-05-01 03:00:04","action":"move","src":"/Users/ada/\"q\"\\x","dest":"/f","bytes":4096})"
      ",\n"
      R"({"ts":"2026-05-01 03:00:05","action":"delete-cache","src":"/g","dest":"-","bytes":0})"
      "\n]\n");
}

TEST(ServiceCoreE2E, StartUpFailuresAndUsage) {
  TempHome home;
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;
  };
  const std::string conf = (home.path() / ".brimvale" / "brim-vale.conf").string();
  const Case cases[] = {
      {{"json"}, 1, "] ERROR: config not found at " + conf + ". Run `brimvale install`.\n"},
      {{}, 1, "] ERROR: config not found at " + conf + ". Run `brimvale install`.\n"},
      {{"log", "1"}, 0, "Run `brimvale install`.\n"},
      // Listing cloud folders needs no configuration, so it works before one is written.
      {{"list-cloud-roots"}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    ProcessResult r = runBrimVale(home, c.args);
    EXPECT_EQ(r.exitCode, c.code);
    EXPECT_TRUE(r.out.ends_with(c.out)) << r.out;
  }
}

}  // namespace
}  // namespace brimvale::e2e
