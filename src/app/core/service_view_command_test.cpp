#include "app/core/service_view_command.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace brimvale::app {
namespace {

ProcessResult exited(std::string out, int code = 0) {
  ProcessResult r;
  r.outcome = ProcessOutcome::kExited;
  r.exitCode = code;
  r.out = std::move(out);
  return r;
}

// A service that answers from a table keyed by its arguments and records each call.
struct FakeService {
  std::map<std::string, ProcessResult> answers;
  std::vector<std::string> calls;
  std::ostringstream out, err;

  ViewCommandHost host(bool json) {
    return {.service =
                [this](const std::vector<std::string>& args) {
                  std::string key;
                  for (const auto& a : args) key += (key.empty() ? "" : " ") + a;
                  calls.push_back(key);
                  auto it = answers.find(key);
                  return it == answers.end() ? exited("", 64) : it->second;
                },
            .json = json,
            .out = out,
            .err = err};
  }
};

constexpr const char* kList =
    R"([{"name":"A","path":"/m/A","filesystem":"ext4","free_mb":1,"total_mb":2},)"
    R"({"name":"B","path":"/m/B","filesystem":"exfat","free_mb":1,"total_mb":2}])";

TEST(ServiceViewCommand, JsonPassesTheServiceAnswerThroughUnchanged) {
  struct Case {
    const char* what;
    std::vector<std::string> drivesArgs;
    int (*run)(ViewCommandHost&, const std::vector<std::string>&);
    const char* call;
    ProcessResult answer;
  };
  const Case cases[] = {
      {"list", {}, drivesViewCommand, "list-drives", exited(kList)},
      {"assess a missing path",
       {"assess", "/gone"},
       drivesViewCommand,
       "assess /gone",
       exited(R"({"verdict":"block","reasons":["Path does not exist or is not a directory"]})", 1)},
      {"transfer",
       {"status"},
       driveTransferViewCommand,
       "transfer-status",
       exited("{\n  \"phase\": \"idle\"\n}\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeService service;
    service.answers[c.call] = c.answer;
    auto host = service.host(true);
    EXPECT_EQ(c.run(host, c.drivesArgs), c.answer.exitCode);
    EXPECT_EQ(service.out.str(), c.answer.out);
    EXPECT_EQ(service.calls, std::vector<std::string>{c.call});
  }
}

TEST(ServiceViewCommand, TheListAssessesEachDrive) {
  FakeService service;
  service.answers["list-drives"] = exited(kList);
  service.answers["assess /m/A"] = exited(R"({"verdict":"ok"})");
  service.answers["assess /m/B"] = exited(R"({"verdict":"warn"})");
  auto host = service.host(false);
  EXPECT_EQ(drivesViewCommand(host, {}), 0);
  const std::string table = service.out.str();
  const auto a = table.find("/m/A");
  const auto b = table.find("/m/B");
  ASSERT_LT(a, b) << table;
  EXPECT_EQ(table.find("2.1 MB  1 MB  ok\n"), table.find('\n', a) - 16) << table;
  EXPECT_EQ(table.find("2.1 MB  1 MB  warn\n"), table.find('\n', b) - 18) << table;
}

TEST(ServiceViewCommand, FailuresBecomeSentences) {
  ProcessResult timedOut;
  timedOut.outcome = ProcessOutcome::kTimedOut;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    ProcessResult answer;
    int status;
    const char* sentence;
  };
  const Case cases[] = {
      {"timed out", {}, timedOut, 1, "Your data is safe; run it again"},
      {"garbled", {}, exited("not json"), 1, "Brimvale couldn't read the background service's"},
      {"unknown request", {"eject"}, exited(kList), 2, "Say what to show: `brimvale drives`"},
      {"assess without a path", {"assess"}, exited(kList), 2, "Nothing was changed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeService service;
    service.answers["list-drives"] = c.answer;
    auto host = service.host(false);
    EXPECT_EQ(drivesViewCommand(host, c.args), c.status);
    EXPECT_NE(service.err.str().find(c.sentence), std::string::npos) << service.err.str();
    EXPECT_EQ(service.out.str(), "");
  }
}

// Selecting changes the configuration: the service's own sentences and status
// are what the person sees, with or without --json.
TEST(ServiceViewCommand, SelectHandsThePathToTheServiceAndShowsItsWords) {
  ProcessResult refused = exited("WARNING: 1 parked '.hollin-old' folder(s) exist.\n", 2);
  ProcessResult missing = exited("", 1);
  missing.err = "ERROR: target path does not exist: /m/gone\n";
  struct Case {
    const char* what;
    std::string path;
    ProcessResult answer;
  };
  const Case cases[] = {
      {"switched", "/m/A", exited("Updated NVMe path to: /m/A\nBackup: /b\n")},
      {"refused", "/m/B", refused},
      {"no such path", "/m/gone", missing},
      {"a path with blanks", "/media/ada/My Drive", exited("Already configured. No change.\n")},
  };
  for (bool json : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (json ? " --json" : ""));
      FakeService service;
      service.answers["select-drive " + c.path] = c.answer;
      auto host = service.host(json);
      EXPECT_EQ(drivesViewCommand(host, {"select", c.path}), c.answer.exitCode);
      EXPECT_EQ(service.out.str(), c.answer.out);
      EXPECT_EQ(service.err.str(), c.answer.err);
      EXPECT_EQ(service.calls, std::vector<std::string>{"select-drive " + c.path});
    }
  }
}

TEST(ServiceViewCommand, UnknownRequestsNeverReachTheService) {
  {
    FakeService service;
    auto host = service.host(false);
    EXPECT_EQ(drivesViewCommand(host, {"select"}), 2);
    EXPECT_EQ(drivesViewCommand(host, {"select", ""}), 2);
    EXPECT_EQ(drivesViewCommand(host, {"select", "/m/A", "force"}), 2);
    EXPECT_TRUE(service.calls.empty());
    EXPECT_NE(service.err.str().find("`brimvale drives select PATH`"), std::string::npos);
  }
  FakeService service;
  auto host = service.host(false);
  EXPECT_EQ(driveTransferViewCommand(host, {}), 2);
  EXPECT_EQ(driveTransferViewCommand(host, {"start"}), 2);
  EXPECT_EQ(scanViewCommand(host, {"/"}), 2);
  EXPECT_TRUE(service.calls.empty());
}

}  // namespace
}  // namespace brimvale::app
