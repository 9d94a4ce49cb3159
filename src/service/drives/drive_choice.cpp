#include "service/drives/drive_choice.h"

#include <algorithm>
#include <array>

namespace brimvale::service {
namespace {

// The rest only report (status, nvme-info, doctor), help pick a drive
// (list-drives, assess, benchmark, select-drive) or work on the internal disk
// alone.
constexpr std::array<std::string_view, 14> kDriveSubcommands{
    "move-dir",       "rollback",        "recover",         "validate",         "show-in-finder",
    "relocate-now",   "remount",         "eject-nvme",      "backup-self",      "transfer-check",
    "transfer-start", "transfer-resume", "transfer-commit", "__xfer-supervise",
};

}  // namespace

bool needsChosenDrive(std::string_view subcommand) {
  return std::find(kDriveSubcommands.begin(), kDriveSubcommands.end(), subcommand) !=
         kDriveSubcommands.end();
}

bool driveChoiceAllows(ServiceContext& ctx, std::string_view subcommand) {
  if (ctx.cfg().hasDrive() || !needsChosenDrive(subcommand)) return true;
  ctx.err << noDriveChosenMessage() << "\n";
  return false;
}

}  // namespace brimvale::service
