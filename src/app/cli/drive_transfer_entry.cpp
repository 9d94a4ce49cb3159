#include "app/cli/drive_transfer_entry.h"

#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/cli/view_host.h"
#include "app/core/drive_transfer_command.h"
#include "app/core/move_progress_printer.h"

namespace brimvale::app {
namespace {

struct DriveTransferOptions {
  std::vector<std::string> request;
  bool wait = false;
  bool json = false;
  int limitSecs = kDefaultServiceLimitSecs;
};

void options(CLI::App& sub, DriveTransferOptions& o) {
  sub.add_option("request", o.request,
                 "check DEST | start [backup|transfer] DEST | status | pause | resume | cancel");
  sub.add_flag("--wait", o.wait,
               "with status: follow the job to its end, switching to the new drive once a "
               "transfer's copy is verified");
  sub.add_flag("--json", o.json, "print the service's JSON answer unchanged");
  sub.add_option("--timeout", o.limitSecs, "seconds before the service command is stopped")
      ->capture_default_str();
}

int driveTransfer(CommandContext& c, DriveTransferOptions& o) {
  ViewCommandHost view = viewHost(c, o.json, o.limitSecs);
  const std::string rsync = c.installerOptions().rsyncPath;
  DriveTransferHost host{
      .view = view,
      .paths = c.paths,
      .runSwitch =
          [&](const std::function<void(std::string_view)>& show) {
            return switchToNewDrive(platform::runnerOf(*c.base.launcher), c.paths, rsync, show);
          },
      .output = &c.out == &std::cout ? outputKindOf(STDOUT_FILENO) : OutputKind::kPlain,
      .wait = o.wait,
      .pause = [] { std::this_thread::sleep_for(std::chrono::seconds(1)); }};
  return driveTransferCommand(host, o.request);
}

}  // namespace

CommandEntry driveTransferEntry() {
  return commandEntry<DriveTransferOptions>(
      "drive-transfer",
      "copy everything on the drive to another drive: `check DEST`, `start [backup|"
      "transfer] DEST`, `status [--wait]`, `pause`, `resume`, `cancel`; a transfer "
      "then switches over to the new drive",
      options, driveTransfer);
}

}  // namespace brimvale::app
