#include "platform/service_manager.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/standin_tool.h"

namespace brimvale::platform {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;
using testing::StandinTool;
using namespace std::chrono_literals;

ServiceDefinition definition(std::vector<std::string> args, fs::path log) {
  return {
      std::move(args), std::move(log), {{"PATH", "/usr/bin:/bin"}, {"RSYNC", "/usr/bin/rsync"}}};
}

TEST(LaunchAgentPlist, OlderListsAskingToAutostartAreOutdated) {
  const std::string head = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Label</key><string>com.brimvale.service</string>)";
  struct Case {
    const char* name;
    std::string data;
    bool outdated;
  } cases[] = {
      {"KeepAlive true", head + "<key>KeepAlive</key> <true/></dict></plist>", true},
      {"RunAtLoad true",
       head + "<key>RunAtLoad</key><true/><key>KeepAlive</key><false/></dict></plist>", true},
      {"both false", head + "<key>RunAtLoad</key><false/></dict></plist>", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(plistRequestsAutostart(c.data), c.outdated);
  }
}

TEST(LaunchctlList, ReadsPidAndLastExit) {
  const auto listed = parseLaunchctlList("{\n\t\"LastExitStatus\" = -9;\n};\n");
  EXPECT_EQ(listed.pid, std::nullopt);
  EXPECT_EQ(listed.lastExitStatus, -9);
}

// Waits (bounded) until `done` holds.
template <class F>
bool eventually(F done) {
  for (int i = 0; i < 200; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(25ms);
  }
  return done();
}

TEST(SupervisedService, LoadKickstartAndUnload) {
  TempFolder dir;
  auto manager = makeSupervisedServiceManager(dir.path());
  const fs::path log = dir.path() / "service log.txt";
  EXPECT_FALSE(manager->load());  // no definition yet
  ASSERT_TRUE(
      manager->writeDefinition({{"/bin/sh", "-c", "echo \"started $BV_GREETING\"; sleep 30"},
                                log,
                                {{"BV_GREETING", "hello"}}}));

  ASSERT_TRUE(manager->load());
  ASSERT_TRUE(manager->kickstart());
  ServiceJobState first = manager->state();
  EXPECT_TRUE(first.loaded);
  ASSERT_TRUE(first.pid);
  EXPECT_TRUE(eventually([&] { return readFile(log).value_or("") == "started hello\n"; }));

  ASSERT_TRUE(manager->kickstart());  // -k: the running copy is replaced
  ServiceJobState second = manager->state();
  ASSERT_TRUE(second.pid);
  EXPECT_NE(*second.pid, *first.pid);
  EXPECT_NE(kill(*first.pid, 0), 0);

  ASSERT_TRUE(manager->unload(5s));
  ServiceJobState after = manager->state();
  EXPECT_FALSE(after.loaded);
  EXPECT_FALSE(after.pid);
  EXPECT_EQ(after.lastExitStatus, 128 + SIGTERM);
  EXPECT_NE(kill(*second.pid, 0), 0);
}

// Given a service started to outlive its starter and then killed from
// outside, then any later look (here a second manager, as the next process
// would have) sees it loaded, not running, and how it ended.
TEST(SupervisedService, ADetachedServiceKilledFromOutsideLeavesItsExitStatus) {
  TempFolder dir;
  auto starter = makeSupervisedServiceManager(dir.path(), ServiceOwnership::kOutlivesCaller);
  ASSERT_TRUE(starter->writeDefinition({{"/bin/sh", "-c", "sleep 30"}, dir / "log", {}}));
  EXPECT_NE(readFile(dir / "service-definition.json").value_or("").find("\"throttleInterval\": 30"),
            std::string::npos);
  ASSERT_TRUE(starter->load());
  ASSERT_TRUE(starter->kickstart());
  auto pid = starter->state().pid;
  ASSERT_TRUE(pid);
  EXPECT_FALSE(starter->state().lastExitStatus);
  ASSERT_EQ(kill(-*pid, SIGKILL), 0);
  auto later = makeSupervisedServiceManager(dir.path(), ServiceOwnership::kOutlivesCaller);
  ASSERT_TRUE(eventually([&] { return later->state().lastExitStatus.has_value(); }));
  ServiceJobState s = later->state();
  EXPECT_TRUE(s.loaded);
  EXPECT_FALSE(s.pid);
  EXPECT_EQ(s.lastExitStatus, 128 + SIGKILL);
  // Started again, the old ending no longer counts.
  ASSERT_TRUE(later->kickstart());
  EXPECT_FALSE(later->state().lastExitStatus);
  ASSERT_TRUE(later->unload(5s));
}

TEST(SupervisedService, OlderDefinitionThatKeepsAliveIsOutdated) {
  TempFolder dir;
  dir.file("service-definition.json", R"({"programArguments":["/bin/true"],"keepAlive":true})");
  EXPECT_TRUE(makeSupervisedServiceManager(dir.path())->definitionIsOutdated());
}

TEST(SystemdUserService, UnitQuotesEveryValueAndNeverAutostarts) {
  std::string unit = systemdUnitText({{"/home/a \"b\"/.brimvale/brim-vale", "watch"},
                                      "/home/a 100%/log",
                                      {{"PATH", "/usr/bin:/bin"}, {"RSYNC", "/opt/$x/rsync"}}});
  EXPECT_NE(unit.find("ExecStart=\"/home/a \\\"b\\\"/.brimvale/brim-vale\" \"watch\"\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("Environment=\"RSYNC=/opt/$$x/rsync\"\n"), std::string::npos);
  EXPECT_NE(unit.find("StandardOutput=append:/home/a 100%%/log\n"), std::string::npos);
  EXPECT_NE(unit.find("Restart=no\nRestartSec=30\n"), std::string::npos);
  EXPECT_FALSE(systemdUnitRequestsAutostart(unit));
  EXPECT_TRUE(systemdUnitRequestsAutostart(unit + "[Install]\nWantedBy=default.target\n"));
  EXPECT_TRUE(systemdUnitRequestsAutostart("[Service]\nRestart=always\n"));
}

TEST(SystemdUserService, DrivesSystemctlAndReadsItsState) {
  TempFolder dir;
  StandinTool systemctl(dir, "systemctl");
  auto manager = makeSystemdUserServiceManager(dir.path(), systemctl.path(), runProcess);
  EXPECT_EQ(manager->definitionPath(),
            dir.path() / ".config/systemd/user/brimvale-service.service");
  ASSERT_TRUE(manager->writeDefinition(definition({"/x/brim-vale", "watch"}, "/x/log")));
  EXPECT_FALSE(
      manager->writeDefinition(definition({"/x/brim-vale"}, "/x/a\nExecStartPre=/bin/evil")));
  ASSERT_TRUE(manager->load());
  ASSERT_TRUE(manager->kickstart());
  systemctl.reply("LoadState=loaded\nMainPID=812\nExecMainStatus=0\nExecMainCode=0\n");
  ServiceJobState running = manager->state();
  EXPECT_TRUE(running.loaded);
  EXPECT_EQ(running.pid, 812);
  EXPECT_FALSE(running.lastExitStatus);
  systemctl.reply("");
  ASSERT_TRUE(manager->unload(5s));
  const ServiceJobState exited =
      parseSystemctlShow("LoadState=loaded\nMainPID=0\nExecMainStatus=2\nExecMainCode=1\n");
  EXPECT_FALSE(exited.pid);
  EXPECT_EQ(exited.lastExitStatus, 2);
  EXPECT_FALSE(parseSystemctlShow("LoadState=not-found\nMainPID=0\n").loaded);
  EXPECT_EQ(systemctl.arguments(),
            (std::vector<std::string>{"--user", "daemon-reload", "--user", "restart",
                                      "brimvale-service.service", "--user", "show",
                                      "brimvale-service.service",
                                      "--property=LoadState,MainPID,ExecMainStatus,ExecMainCode",
                                      "--user", "stop", "brimvale-service.service"}));
}

}  // namespace
}  // namespace brimvale::platform
