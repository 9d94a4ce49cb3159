#include "app/core/discover_command.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

namespace brimvale::app {
namespace {

ProcessResult exited(int code, std::string out, std::string err = {}) {
  return {.outcome = ProcessOutcome::kExited, .exitCode = code, .out = out, .err = err};
}

TEST(Discover, JsonHoldsBothAnswersAndAFailedRunChangesNothing) {
  struct Case {
    const char* name;
    ProcessResult drives, scan;
    int status;
    std::string stderrPart;
  };
  const Case cases[] = {
      {"both answer", exited(0, R"([{"path":"/media/fast","verdict":"ok"}])"),
       exited(0, "{\"name\":\"Movies\",\"bytes\":9}\n{\"name\":\"Music\",\"bytes\":3}\n"), 0, ""},
      {"the drive list fails", exited(1, "", "list-drives: no\n"), exited(0, ""), 1,
       "could not be listed"},
      {"the scan is killed",
       exited(0, "[]"),
       {.outcome = ProcessOutcome::kSignalled, .signal = 9},
       1,
       "could not be listed"},
      {"the scan is not JSON", exited(0, "[]"), exited(0, "Movies 9\n"), 1, "could not be read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream out, err;
    std::vector<std::string> asked;
    ViewCommandHost host{.service =
                             [&](const std::vector<std::string>& args) {
                               asked.push_back(args[0]);
                               return args[0] == "list-drives" ? c.drives : c.scan;
                             },
                         .json = true,
                         .out = out,
                         .err = err};
    EXPECT_EQ(discoverCommand(host), c.status);
    EXPECT_EQ(asked, (std::vector<std::string>{"list-drives", "scan-storage"}));
    EXPECT_NE(err.str().find(c.stderrPart), std::string::npos) << err.str();
    if (c.status != 0) {
      EXPECT_EQ(out.str(), "");
      continue;
    }
    const auto doc = nlohmann::json::parse(out.str());
    EXPECT_EQ(doc["drives"][0]["path"], "/media/fast");
    ASSERT_EQ(doc["folders"].size(), 2u);
    EXPECT_EQ(doc["folders"][1]["name"], "Music");
  }
}

}  // namespace
}  // namespace brimvale::app
