#include "service/drive_transfer/transfer_job_state.h"

#include "common/base/file_calls.h"
#include "common/base/platform_words.h"
#include "common/state/path_policy.h"
#include "service/core/marker_file.h"

namespace brimvale::service {
namespace fs = std::filesystem;

TransferStore storeOf(const ServiceContext& ctx) {
  return TransferStore(TransferFiles::in(ctx.paths.state));
}

bool isDirectory(const fs::path& path) {
  return !path.empty() && brimvale::isDirectory(path).value_or(false);
}

void removeFile(const fs::path& path) {
  // Pid files are hints checked against the live process, so a stale one is harmless.
  (void)removePath(path);
}

void releaseLock(const TransferFiles& files) {
  // A lock left behind is replaced by the next job once it finds it stale.
  (void)removeAll(files.lock);
}

bool rootMounted(ServiceContext& ctx, const TransferStore& store, std::string_view key) {
  const std::string root = store.get(key).value_or("");
  return ctx.platform.mounts->isMountedAt(normalisedAbsolute(root).value_or(root).string());
}

bool rootsMounted(ServiceContext& ctx, const TransferStore& store) {
  return rootMounted(ctx, store, transfer_keys::kSourceRoot) &&
         rootMounted(ctx, store, transfer_keys::kDestRoot);
}

long long resumeCount(const TransferStore& store) {
  try {
    return std::stoll(store.get(transfer_keys::kResumeCount).value_or("0"));
  } catch (...) {
    return 0;
  }
}

std::expected<fs::path, std::string> checkedJobCopy(ServiceContext& ctx,
                                                    const TransferStore& store) {
  const std::string stored = store.get(transfer_keys::kDestWorking).value_or("");
  const auto status = stored.empty() ? Result<fs::file_status>() : linkStatus(stored);
  if (stored.empty() || !status || !fs::exists(*status)) return fs::path();
  auto refuse = [&stored](const std::string& why) {
    return std::unexpected("Brimvale did not delete " + stored + " because " + why +
                           ". Nothing there was changed.");
  };
  if (fs::is_symlink(*status)) {
    return refuse("it is a symbolic link, not the folder the transfer made");
  }
  const std::string storedRoot = store.get(transfer_keys::kDestRoot).value_or("");
  const auto destRoot = normalisedAbsolute(storedRoot);
  const auto destWorking = normalisedAbsolute(stored);
  if (!destRoot || !destWorking) return refuse("the transfer's record of it is not a full path");
  if (*destWorking != *destRoot / ctx.workingFolderName()) {
    return refuse("it is not this " + std::string(kHostWords.computer) +
                  "'s Brimvale folder directly on the destination drive " + storedRoot);
  }
  if (PathPolicy::isSystemPath(*destRoot) ||
      !ctx.platform.mounts->isMountedAt(destRoot->string())) {
    return refuse(storedRoot + " is not a connected drive");
  }
  auto config = loadServiceConfig(ctx.paths, ctx.workingFolderName());
  if (!config) {
    return refuse(
        "the configuration couldn't be read to make sure it is not your current "
        "drive's folder");
  }
  const auto source = normalisedAbsolute(store.get(transfer_keys::kSourceWorking).value_or(""));
  if (*destRoot == config->nvme() || *destWorking == config->base() ||
      (source && *source == *destWorking)) {
    return refuse("it is your current drive's Brimvale folder");
  }
  PathPolicyRoots roots = PathPolicy::rootsFor(ctx.paths.home, config->base());
  roots.extraRoots = {*destRoot};
  auto allowed = PathPolicy(roots).check(*destWorking);
  if (!allowed) return std::unexpected(allowed.error().sentence());
  if (allowed->root != PathRoot::kExtra) return refuse("it does not lie on the destination drive");
  if (markerValue(*destWorking, "created_by") != "transfer") {
    return refuse("it has no marker showing that a transfer created it");
  }
  return *destWorking;
}

std::string waitingMessage(ServiceContext& ctx, const TransferStore& store) {
  std::string message(kWaitingForDrive);
  if (!rootsMounted(ctx, store)) return message;
  for (std::string_view key : {transfer_keys::kSourceWorking, transfer_keys::kDestWorking}) {
    const std::string folder = store.get(key).value_or("");
    if (!isDirectory(folder)) {
      return message + " The folder " + folder + " is missing, although its drive is connected.";
    }
  }
  return message;
}

}  // namespace brimvale::service
