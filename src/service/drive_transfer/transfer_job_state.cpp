#include "service/drive_transfer/transfer_job_state.h"

#include "common/base/file_calls.h"
#include "common/state/path_policy.h"

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
  return rootMounted(ctx, store, "sourceRoot") && rootMounted(ctx, store, "destRoot");
}

long long resumeCount(const TransferStore& store) {
  try {
    return std::stoll(store.get("resumeCount").value_or("0"));
  } catch (...) {
    return 0;
  }
}

std::string waitingMessage(ServiceContext& ctx, const TransferStore& store) {
  std::string message(kWaitingForDrive);
  if (!rootsMounted(ctx, store)) return message;
  for (std::string_view key : {"sourceWorking", "destWorking"}) {
    const std::string folder = store.get(key).value_or("");
    if (!isDirectory(folder)) {
      return message + " The folder " + folder + " is missing, although its drive is connected.";
    }
  }
  return message;
}

}  // namespace brimvale::service
