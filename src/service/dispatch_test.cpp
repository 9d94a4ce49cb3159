#include "service/dispatch.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "common/base/version.h"
#include "testing/context_in_temp_home.h"

namespace brimvale::service {
namespace {

using testing::ContextInTempHome;

std::string helpText(ContextInTempHome& home, const std::string& name) {
  ServiceContext& ctx = home.load();
  home.out().str("");
  EXPECT_EQ(runService(ctx, {name}), 0);
  return home.out().str();
}

TEST(ServiceHelp, SummaryFirstThenEverySubsystemInOneColumn) {
  ContextInTempHome home("");
  const std::string root = home.paths().root.string();
  const std::string expected =
      "brim-vale: smart storage management daemon for an always-attached external drive\n"
      "\n"
      "Usage: brim-vale [subcommand [arguments]]   (default: status)\n"
      "\n"
      "  status                              text snapshot of drive, disk, quiet gate and state\n"
      "  json                                write and print the status snapshot\n"
      "  actions [N]                         last N action-log rows as JSON (default 50)\n"
      "  watch                               run the background loop (used by the service "
      "manager)\n"
      "  rules                               print each configured rule\n"
      "  dry-run                             show what a rule run would do, changing nothing\n"
      "  relocate-now                        run the rules now\n"
      "  clean-app-caches                    empty the configured app cache folders\n"
      "  remount                             mount the drive and recover its marker\n"
      "  pause / resume                      stop / allow again all automatic actions\n"
      "  rollback                            undo the last batch of moves (--yes to skip the "
      "prompt)\n"
      "  log [N]                             last N lines of the service log (default 50)\n"
      "  doctor                              diagnostics of the drive, the service and dangling "
      "links\n"
      "\n"
      "More subcommands:\n"
      "\n"
      "Relocation and the working folder:\n"
      "  move-dir PATH                       relocate one folder and link it back\n"
      "  recover                             create the working folder, its layout and marker\n"
      "  validate                            check that moves can run now\n"
      "  show-in-finder                      open the working folder\n"
      "\n"
      "Rules:\n"
      "  rules-preview                       per-rule table of what matches now\n"
      "  tcc-check                           whether each rule's source folder can be read\n"
      "\n"
      "Free space, cloud folders and history:\n"
      "  free-space                          run the rules, clean app caches and report the "
      "space won\n"
      "  reclaim CATEGORY                    delete devcaches, syslog or trash clutter (JSON "
      "result)\n"
      "  reclaim-scan                        size the three reclaim categories (JSON lines)\n"
      "  scan-storage                        sizes of well-known space consumers (JSON lines)\n"
      "  list-cloud-roots                    cloud folders on this computer\n"
      "  optimize-cloud ROOT                 drop local copies of cloud files (they stay in the "
      "cloud)\n"
      "  optimize-icloud ROOT                the same as optimize-cloud\n"
      "  snapshot                            append one row to the usage history\n"
      "  backup-self                         copy the configuration and state onto the drive\n"
      "\n"
      "Drives:\n"
      "  nvme-info                           drive details as JSON\n"
      "  eject-nvme                          pause, quit apps using the drive, then eject it\n"
      "  list-drives                         drives that could be used, as JSON\n"
      "  assess PATH                         whether the drive at PATH is suitable (JSON)\n"
      "  benchmark PATH                      read and write speed of the drive at PATH (JSON)\n"
      "  select-drive PATH [force]           use the drive at PATH from now on\n"
      "\n"
      "Drive transfer:\n"
      "  transfer-check DEST [KIND]          check a copy of the working folder to DEST could "
      "start\n"
      "  transfer-start [KIND] DEST CONSENT  start copying the working folder to DEST\n"
      "  transfer-status                     the transfer job as JSON\n"
      "  transfer-pause                      pause the transfer job\n"
      "  transfer-resume                     resume the transfer job\n"
      "  transfer-cancel                     cancel the transfer job\n"
      "  transfer-commit                     finish a copied transfer job\n"
      "  __xfer-supervise                    internal: the detached copy supervisor "
      "transfer-start runs\n"
      "\n"
      "Help:\n"
      "  help | -h | --help                  this summary\n"
      "  --version                           the program's name and version\n"
      "\n"
      "Config:   " +
      root + "/brim-vale.conf\n" + "Status:   " + root + "/state/status.json\n" +
      "Log:      " + root + "/brim-vale.log\n" + "Actions:  " + root + "/brim-vale.actions.tsv\n";
  for (const std::string name : {"help", "-h", "--help"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(helpText(home, name), expected);
  }
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

TEST(ServiceCommandLine, VersionIsOneLineWithTheProjectVersion) {
  ContextInTempHome home("");
  EXPECT_EQ(helpText(home, "--version"), "brim-vale " + std::string(kVersion) + "\n");
}

// An unknown name keeps its fixed first line and adds the name most likely
// meant, never an internal or option-like one.
TEST(ServiceCommandLine, UnknownSubcommandNamesTheNearestKnownOne) {
  struct Case {
    std::string typed;
    std::string secondLine;
  };
  const std::string list = "Run \"brim-vale help\" for the list.\n";
  const Case cases[] = {
      {"stauts", "Did you mean \"status\"? " + list},
      {"move-dri", "Did you mean \"move-dir\"? " + list},
      {"transfer-stat", "Did you mean \"transfer-start\"? " + list},
      {"__xfer-supervis", list},
      {"-help", "Did you mean \"help\"? " + list},
      {"frobnicate", list},
  };
  ContextInTempHome home("");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    home.out().str("");
    EXPECT_EQ(runService(home.load(), {c.typed}), 2);
    EXPECT_EQ(home.out().str(), "Unknown subcommand: " + c.typed + "\n" + c.secondLine);
  }
}

}  // namespace
}  // namespace brimvale::service
