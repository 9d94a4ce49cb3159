// `brimvale autosync` run as the real program on a tmpfs drive: settled files
// of a watched folder go to the drive as links through the folder mover,
// while excluded, fresh and open files stay.
#include <gtest/gtest.h>
#include <httplib.h>

#include <signal.h>

#include <ctime>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "background_app.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "e2e_harness.h"
#include "mover_scene.h"
#include "service_process.h"
#include "testing/base/text_checks.h"
#include "web/access_tokens.h"
#include "web/dashboard_server.h"

namespace brimvale::e2e {
namespace {

namespace fs = std::filesystem;
using brimvale::testing::contains;
using namespace std::chrono_literals;

class AutoSyncE2E : public MoverScene {
 protected:
  AutoSyncE2E() : MoverScene("Auto-", "32m") {}

  void SetUp() override {
    MoverScene::SetUp();
    BRIMVALE_REQUIRE_DRIVE(drive_);
    fs::create_directories(working());
    inbox_ = home_.path() / "Inbox";
  }
  // A file `age` old (its modification time) with `text` in it.
  fs::path write(const std::string& rel, const std::string& text,
                 std::chrono::minutes age = std::chrono::minutes(60)) const {
    const fs::path file = inbox_ / rel;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    fs::last_write_time(file, fs::file_time_type::clock::now() - age);
    return file;
  }
  // Watches the inbox into `destination`; the policy's id.
  std::string watch(const fs::path& destination, std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"autosync", "add", inbox_.string(), destination.string()};
    args.insert(args.end(), more.begin(), more.end());
    const ProcessResult added = runApp(home_, args);
    EXPECT_EQ(added.exitCode, 0) << added.err;
    const auto list = nlohmann::json::parse(runApp(home_, {"autosync", "list", "--json"}).out);
    return list.empty() ? "" : list.back()["id"].get<std::string>();
  }
  [[nodiscard]] static bool isLinkTo(const fs::path& link, const fs::path& target) {
    std::error_code ec;
    return fs::is_symlink(link) && fs::read_symlink(link, ec) == target;
  }

  fs::path inbox_;
};

TEST_F(AutoSyncE2E, SettledFilesMoveAsLinksAndTheRestStays) {
  const fs::path report = write("report.pdf", "quarterly");
  const fs::path nested = write("2026/scan.png", std::string(40000, 'p'));
  const fs::path partial = write("download.part", "half");
  const fs::path fresh = write("fresh.txt", "just now", std::chrono::minutes(2));
  const fs::path open = write("open.log", "busy");
  std::ifstream holder(open);  // held open by this process while the scan runs
  const std::string id = watch(working() / "Inbox", {"--exclude", "*.part"});

  const ProcessResult scan = runApp(home_, {"autosync", "scan", id.substr(0, 8), "--yes"});
  EXPECT_EQ(scan.exitCode, 0) << scan.out << scan.err;
  EXPECT_TRUE(contains(scan.out, "Moved 2 files to your fast drive")) << scan.out;

  // Moved: a link at the old place, the bytes on the drive.
  EXPECT_TRUE(isLinkTo(report, working() / "Inbox/report.pdf"));
  EXPECT_TRUE(isLinkTo(nested, working() / "Inbox/2026/scan.png"));
  EXPECT_EQ(readFile(report).value_or(""), "quarterly");
  EXPECT_EQ(readFile(nested).value_or("").size(), 40000u);
  // Stayed: excluded, still being written, in use.
  for (const auto& kept : {partial, fresh, open}) {
    SCOPED_TRACE(kept.string());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(kept)));
    EXPECT_FALSE(fs::exists(working() / "Inbox" / kept.filename()));
  }
  const auto list = nlohmann::json::parse(runApp(home_, {"autosync", "list", "--json"}).out);
  EXPECT_EQ(list[0]["totalFilesMoved"], 2);

  // A second scan finds nothing new: what moved is not moved again.
  holder.close();
  fs::last_write_time(open, fs::file_time_type::clock::now() - std::chrono::hours(1));
  const ProcessResult again = runApp(home_, {"autosync", "scan", id.substr(0, 8), "--yes"});
  EXPECT_TRUE(contains(again.out, "Queued 1 new file to copy")) << again.out;
  EXPECT_TRUE(isLinkTo(open, working() / "Inbox/open.log"));
  // The moves of the first scan, read back by the second, are not counted twice.
  const auto totals = nlohmann::json::parse(runApp(home_, {"autosync", "list", "--json"}).out);
  EXPECT_EQ(totals[0]["totalFilesMoved"], 3);
}

// A POST to a route of the running dashboard, signed in as its page is, with
// no terminal anywhere; the reply's status.
int postToDashboard(const TempHome& home, const std::string& route, const std::string& body) {
  const std::string origin = trimmed(readFile(home.state() / web::kUrlFile).value_or(""));
  const auto port = origin.rfind(':');
  const auto token =
      web::TokenBook(home.state() / web::kTokenFolder, [] { return std::time(nullptr); }).mint();
  if (port == std::string::npos || !token) return -1;
  httplib::Client client("127.0.0.1", std::atoi(origin.c_str() + port + 1));
  const auto signedIn = client.Post("/session?token=" + *token);
  if (!signedIn) return -1;
  const std::string cookie = signedIn->get_header_value("Set-Cookie");
  const auto reply = client.Post("/api/" + route,
                                 {{"Cookie", cookie.substr(0, cookie.find(';'))},
                                  {"Origin", origin.substr(0, origin.find('/', port))}},
                                 body, "application/json");
  return reply ? reply->status : -1;
}

// Given a watched folder with one settled file, then the running application's
// minute timer moves it as a link by itself and records the run in the ledger;
// its dashboard, asked nothing on a terminal, clears the scrap board.
TEST_F(AutoSyncE2E, TheRunningApplicationMovesSettledFilesByItself) {
  ASSERT_EQ(runApp(home_, {"junk", "add", "a scrap"}).exitCode, 0);
  home_.writeConfig("NVMe=\"" + drive_.path().string() + "\"\n");
  const fs::path report = write("report.pdf", "quarterly");
  watch(working() / "Inbox");
  // The minute timer fires every second while the time comes from a file.
  const fs::path clock = home_.path() / "clock";
  ASSERT_TRUE(writeFileAtomically(clock, std::to_string(std::time(nullptr))));
  const fs::path scripts = makeStatusWritingScripts(home_);
  BackgroundApp run(home_, {"--clock-file=" + clock.string(), "--scripts", scripts.string(), "run"},
                    "run.txt");

  EXPECT_TRUE(eventually([&] { return isLinkTo(report, working() / "Inbox/report.pdf"); }, 60s))
      << run.output();
  EXPECT_EQ(readFile(report).value_or(""), "quarterly");
  EXPECT_TRUE(eventually([&] {
    const auto list = nlohmann::json::parse(runApp(home_, {"autosync", "list", "--json"}).out);
    return list[0]["totalFilesMoved"] == 1;
  })) << run.output();
  EXPECT_EQ(postToDashboard(home_, "junk/clear", R"({"confirmed": true})"), 200) << run.output();
  EXPECT_TRUE(contains(runApp(home_, {"junk", "list"}).out, "0 scraps")) << run.output();
  run.signal(SIGTERM);
  EXPECT_EQ(run.wait(30s), 0) << run.output();

  // The next start reads the finished move back without counting it again.
  BackgroundApp again(home_,
                      {"--clock-file=" + clock.string(), "--scripts", scripts.string(), "run"},
                      "run-again.txt");
  EXPECT_TRUE(eventually([&] { return fs::exists(home_.state() / web::kUrlFile); }, 30s))
      << again.output();
  std::this_thread::sleep_for(3s);  // a few minute-timer ticks
  const auto list = nlohmann::json::parse(runApp(home_, {"autosync", "list", "--json"}).out);
  EXPECT_EQ(list[0]["totalFilesMoved"], 1) << again.output();
  again.signal(SIGTERM);
  EXPECT_EQ(again.wait(30s), 0) << again.output();
}

}  // namespace
}  // namespace brimvale::e2e
