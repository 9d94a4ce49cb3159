#include "service/rules/rule_items.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "service/rules/rules_engine.h"
#include "testing/service/context_in_temp_home.h"

namespace brimvale::service {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::ContextInTempHome;

void write(const fs::path& file, std::size_t bytes, int daysOld) {
  std::ofstream(file) << std::string(bytes, 'x');
  const std::time_t at = ContextInTempHome::kNow - daysOld * 86400;
  const struct timeval times[2] = {{at, 0}, {at, 0}};
  utimes(file.c_str(), times);
}

// Given a preview listed by a dry run and items changed in every way since,
// then a run limited to it takes exactly the previewed items still chosen
// and unchanged, leaves the rest and says why.
TEST(RuleItems, ARunFromAListTakesOnlyWhatIsStillAsListed) {
  const std::string rules = "RULES=(\"delete_old | $HOME/Old | | 30 |\")\n";
  ContextInTempHome home(rules);
  const fs::path old = home.home() / "Old";
  fs::create_directories(old);
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> since;  // what happens after the preview
    bool survives;
    const char* said;  // the line the run says for it, if any
  } cases[] = {
      {"still due", [](const fs::path&) {}, false, ""},
      {"gone", [](const fs::path& f) { fs::remove(f); }, false, "gone since the preview: "},
      {"grown", [](const fs::path& f) { write(f, 9000, 60); }, true, "(its size changed"},
      {"touched", [](const fs::path& f) { write(f, 100, 50); }, true,
       "(its modification time changed"},
      {"young", [](const fs::path& f) { write(f, 100, 1); }, true, "no longer choose it"},
      {"excluded.keep", [](const fs::path&) {}, true, "no longer choose it"},
  };
  for (const auto& c : cases) write(old / c.name, 100, 60);

  std::ostringstream listing;
  ItemChoice lister = ItemChoice::listingOn(listing, true);
  Guards guards(home.home(), home.files());
  ASSERT_TRUE(runRules(home.load(), guards, RunMode::kDry, lister));
  EXPECT_NE(listing.str().find("\"rule\":\"delete_old\",\"action\":\"delete\"}"), std::string::npos)
      << listing.str();
  EXPECT_NE(listing.str().find("{\"items\":6,\"bytes\":"), std::string::npos) << listing.str();
  const fs::path list = home.root() / "preview.jsonl";
  std::ofstream(list) << listing.str();

  write(old / "not previewed", 100, 60);
  for (const auto& c : cases) c.since(old / c.name);
  home.writeConfig(rules + "EXCLUDES=(\"*.keep\")\n");
  ItemChoice only;
  ASSERT_TRUE(only.limitTo(list));
  ASSERT_TRUE(runRules(home.load(), guards, RunMode::kReal, only));
  const std::string said = home.out().str();
  EXPECT_TRUE(fs::exists(old / "not previewed")) << "a run from a list never adds to it";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fs::exists(old / c.name), c.survives);
    const std::size_t at = said.rfind((old / c.name).string() + (c.survives ? " " : "\n"));
    const std::string line = at == std::string::npos ? "" : said.substr(said.rfind('\n', at) + 1);
    EXPECT_NE(line.substr(0, line.find('\n')).find(c.said), std::string::npos) << said;
  }
}

}  // namespace
}  // namespace brimvale::service
