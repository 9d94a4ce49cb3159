#include "service/dispatch.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {

using testing::ContextInTempHome;

std::string helpText(ContextInTempHome& home, const std::string& name) {
  ServiceContext& ctx = home.load();
  home.out().str("");
  EXPECT_EQ(runService(ctx, {name}), 0);
  return home.out().str();
}

// Given any name the dispatcher accepts, then help shows it as a word of a
// row's first column, so a new subcommand cannot be left out of help.
TEST(ServiceHelp, ShowsEverySubcommandTheDispatcherAccepts) {
  ContextInTempHome home("");
  std::istringstream lines(helpText(home, "help"));
  std::set<std::string> shown;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("  ")) continue;
    std::istringstream words(line.substr(2, line.find("  ", 2) - 2));
    for (std::string word; words >> word;) shown.insert(word);
  }
  for (const auto name : subcommandNames()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(shown.contains(std::string(name)));
  }
}

}  // namespace
}  // namespace brimvale::service
