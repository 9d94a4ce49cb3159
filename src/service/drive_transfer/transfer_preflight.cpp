#include "service/drive_transfer/transfer_preflight.h"

#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/json_writer.h"
#include "common/base/platform_words.h"
#include "service/drive_transfer/transfer_job.h"
#include "service/drive_transfer/transfer_job_state.h"
#include "service/drives/drive_assessment.h"

namespace brimvale::service {
namespace fs = std::filesystem;

Preflight preflight(ServiceContext& ctx, const fs::path& dest) {
  Preflight p;
  platform::DriveInfo info = ctx.platform.drives->info(dest.string());
  p.assessVerdict = assessDrive(info, ctx.cfg()).verdict;
  const fs::path source = ctx.cfg().base();
  p.sourceBytes = diskUsageBytes(source).value_or(0);
  p.freeBytes = info.freeMiB * 1'048'576ull;
  const fs::path destWorking = dest / ctx.workingFolderName();
  p.destHasStor = pathExists(destWorking).value_or(false);
  p.verdict = p.assessVerdict;
  if (p.destHasStor) {
    p.verdict = "block";
    p.reasons.push_back("This drive already has a Brimvale folder for this " +
                        std::string(kHostWords.computer) + ". Choose a different drive.");
  }
  // Copying a folder into itself never ends and fills the drive.
  const std::string src = source.lexically_normal().string() + "/";
  if ((destWorking.lexically_normal().string() + "/").starts_with(src)) {
    p.verdict = "block";
    p.reasons.push_back(
        "The destination is inside your current drive's Brimvale folder. Choose a different "
        "drive.");
  }
  if (p.sourceBytes > 0 && p.freeBytes < p.sourceBytes + p.sourceBytes / 20) {
    p.verdict = "block";
    p.reasons.push_back(
        "Not enough free space on the destination drive for everything on your current drive.");
  }
  return p;
}

int transferCheckCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  const std::string dest = args.empty() ? "" : args[0];
  if (!isDirectory(dest)) {
    ctx.out << "{\"verdict\":\"block\",\"reasons\":[\"The destination drive isn't "
               "available.\"],\"warnings\":[],\"freeBytes\":0,\"sourceBytes\":0,"
               "\"destHasStor\":false,\"assessVerdict\":\"block\"}\n";
    return 1;
  }
  Preflight p = preflight(ctx, dest);
  JsonObjectWriter w;
  w.string("verdict", p.verdict)
      .string("assessVerdict", p.assessVerdict)
      .number("freeBytes", p.freeBytes)
      .number("sourceBytes", p.sourceBytes)
      .boolean("destHasStor", p.destHasStor)
      .raw("reasons", jsonStringArray(p.reasons))
      .raw("warnings", "[]");
  ctx.out << w.str() << "\n";
  return 0;
}

}  // namespace brimvale::service
