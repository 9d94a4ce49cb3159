#include "app/cli/usage_errors.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace brimvale::app {
namespace {

// A command line shaped like brimvale's: a required subcommand, a required
// positional, a checked option and a version flag.
struct Parsed {
  int code;
  std::string out;
  std::string err;
};

Parsed parse(std::vector<std::string> words) {
  CLI::App cli{"test"};
  cli.require_subcommand(1);
  cli.set_version_flag("--version", "brimvale 1.2.3");
  std::string folder, verify;
  CLI::App* move = cli.add_subcommand("move", "relocate");
  move->add_option("folder", folder, "the folder to relocate")->required();
  move->add_option("--verify", verify, "verification")->check(CLI::IsMember({"fast", "thorough"}));
  move->add_option("--to", folder, "where");
  cli.add_subcommand("status", "the status");
  std::vector<char*> argv{const_cast<char*>("brimvale")};
  for (auto& w : words) argv.push_back(w.data());
  std::ostringstream out, err;
  try {
    cli.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    const int code = reportParseError(cli, e, out, err);
    return {code, out.str(), err.str()};
  }
  return {0, out.str(), err.str()};
}

TEST(UsageErrors, EveryMistakeIsOneSentenceWithExitTwo) {
  struct Case {
    std::vector<std::string> words;
    std::string err;
  };
  const std::string moveHelp = " Run \"brimvale move --help\" for what it takes.\n";
  const Case cases[] = {
      {{},
       "Usage: brimvale [--scripts DIR] [--snapshot-tool PATH] SUBCOMMAND [ARGUMENTS]\n"
       "Subcommands: move, status.\n"
       "brimvale needs a subcommand. Nothing was changed. Run \"brimvale --help\" for what each "
       "one does.\n"},
      {{"stauts"},
       "brimvale has no subcommand \"stauts\". Nothing was changed. Did you mean \"status\"? Run "
       "\"brimvale --help\" for the list.\n"},
      {{"bogus"},
       "brimvale has no subcommand \"bogus\". Nothing was changed. Run \"brimvale --help\" for "
       "the list.\n"},
      {{"--bogus", "status"},
       "brimvale does not take \"--bogus\". Nothing was changed. Run \"brimvale --help\" for "
       "what it takes.\n"},
      {{"move"},
       "brimvale move needs the folder to relocate (FOLDER). Nothing was changed." + moveHelp},
      {{"status", "extra"},
       "brimvale status does not take \"extra\". Nothing was changed. Run \"brimvale status "
       "--help\" for what it takes.\n"},
      {{"move", "/x", "--verify", "slow"},
       "brimvale move cannot use what was given (--verify: slow not in {fast,thorough}). Nothing "
       "was changed." +
           moveHelp},
      {{"move", "/x", "--to"},
       "brimvale move cannot use what was given (--to: 1 required TEXT missing). Nothing was "
       "changed." +
           moveHelp},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& w : c.words) shown += w + " ";
    SCOPED_TRACE(shown);
    const Parsed p = parse(c.words);
    EXPECT_EQ(p.code, kUsageExit);
    EXPECT_EQ(p.err, c.err);
    EXPECT_EQ(p.out, "");
  }
}

TEST(UsageErrors, HelpAndVersionGoToStandardOutputWithZero) {
  const Parsed version = parse({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "brimvale 1.2.3\n");
  const Parsed help = parse({"move", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("the folder to relocate"), std::string::npos);
  EXPECT_EQ(help.err, "");
}

}  // namespace
}  // namespace brimvale::app
