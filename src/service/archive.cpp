#include "service/archive.h"

#include <fnmatch.h>

#include <array>

#include "common/process.h"
#include "common/timestamps.h"
#include "service/action_log.h"

namespace brimvale::service {
namespace fs = std::filesystem;

bool isLockOrMetadataName(std::string_view name) {
  constexpr std::array<const char*, 9> kPatterns{
      "~$*.docx", "~$*.xlsx", "~$*.pptx", ".~lock.*#", ".DS_Store", "Icon\r", "._*", "*.swp",
      "*.swo"};
  const std::string text(name);
  for (const char* pattern : kPatterns) {
    if (fnmatch(pattern, text.c_str(), 0) == 0) return true;
  }
  return false;
}

fs::path archiveTarget(const fs::path& folder, const std::string& name, std::time_t now) {
  std::error_code ec;
  fs::path target = folder / name;
  if (!fs::exists(fs::symlink_status(target, ec))) return target;
  const fs::path month = folder / formatLocal(now, "%Y-%m");
  fs::create_directories(month, ec);
  target = month / name;
  if (!fs::exists(fs::symlink_status(target, ec))) return target;
  return month / (name + "." + std::to_string(now));
}

Result<void> plainMove(const fs::path& src, const fs::path& target) {
  std::error_code ec;
  // rename() would replace an existing file, and a failed copy removes its
  // target: either would destroy what already sits there.
  if (fs::exists(fs::symlink_status(target, ec))) {
    return fail(Errc::kInvalidArgument, "something already exists at " + target.string());
  }
  fs::rename(src, target, ec);
  if (!ec) return {};
  if (ec != std::errc::cross_device_link) return std::unexpected(errnoError("rename", ec.value()));
  const std::string cp = findExecutable("cp");
  if (cp.empty()) return fail(Errc::kLaunchFailed, "cp not found");
  ProcessResult copy = runProcess({.path = cp, .args = {"-a", "--", src.string(), target.string()}});
  if (!copy.succeeded()) {
    fs::remove_all(target, ec);
    return fail(Errc::kToolFailed, "cp " + copy.describe() + ": " + copy.err);
  }
  fs::remove_all(src, ec);
  if (ec) return std::unexpected(errnoError("removing the original after copying", ec.value()));
  return {};
}

void moveToNvme(ServiceContext& ctx, Guards& guards, const fs::path& src,
                const std::string& destFolder, std::string_view reason) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(src, ec))) return;
  const std::string srcText = src.string();
  if (guards.isOpen(srcText)) {
    ctx.log.say("skip (open): " + srcText);
    return;
  }
  if (guards.isCloudPath(srcText)) {
    ctx.log.say("skip (cloud): " + srcText);
    return;
  }
  if (isLockOrMetadataName(src.filename().string())) {
    ctx.log.say("skip (lock/metadata): " + srcText);
    return;
  }
  const fs::path folder = ctx.cfg().base() / destFolder;
  fs::create_directories(folder, ec);
  const std::time_t now = ctx.clock();
  const fs::path target = archiveTarget(folder, src.filename().string(), now);
  const auto size = bytesOf(srcText);
  if (!plainMove(src, target)) {
    ctx.log.say("FAILED move: " + srcText);
    return;
  }
  const std::string sizeText = size ? std::to_string(*size) : std::string();
  ctx.log.say("moved (" + std::string(reason) + "): " + srcText + " -> " + target.string() + " (" +
              sizeText + " bytes)");
  (void)recordAction(ctx.paths, now, {"move", srcText, target.string(), size});
}

}  // namespace brimvale::service
