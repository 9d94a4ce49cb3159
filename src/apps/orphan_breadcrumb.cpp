#include "apps/orphan_breadcrumb.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "common/base/file_io.h"
#include "common/base/timestamps.h"
#include "mover/switch_privileged.h"

namespace brimvale::apps {

namespace fs = std::filesystem;

fs::path orphanManifestsFolder(const fs::path& stateDir) { return stateDir / "orphan-manifests"; }

std::string orphanInstructions(const std::string& quarantinePath, const std::string& originalPath) {
  return "Your app bundle is at `quarantinePath`. To restore manually: `sudo mv " +
         mover::singleQuoted(quarantinePath) + " " + mover::singleQuoted(originalPath) +
         "`. If that path is empty, check `nvmePath` — there may be a verified NVMe copy you "
         "can rsync back instead.";
}

std::string encodeOrphanBreadcrumb(const OrphanBreadcrumb& c) {
  const nlohmann::json j{
      {"manifestID", c.manifestID},
      {"displayName", c.displayName},
      {"bundleID", c.bundleID},
      {"originalPath", c.originalPath},
      {"quarantinePath", c.quarantinePath},
      {"nvmePath", c.nvmePath},
      {"reason", rawNameOf(kOrphanReasonNames, c.reason)},
      {"error", c.error},
      {"createdAt", isots(c.createdAt)},
      {"instructions", orphanInstructions(c.quarantinePath, c.originalPath)},
  };
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

Result<fs::path> writeOrphanBreadcrumb(const fs::path& stateDir, const OrphanBreadcrumb& crumb) {
  const fs::path folder = orphanManifestsFolder(stateDir);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return fail(Errc::kIo, folder.string() + ": " + ec.message());
  // The id comes from a record on disk; keep it to a plain file name.
  std::string name = crumb.manifestID;
  for (char& c : name) {
    if (c == '/' || c == '.') c = '_';
  }
  const fs::path file = folder / (name + ".json");
  if (auto written = writeFileAtomically(file, encodeOrphanBreadcrumb(crumb)); !written) {
    return std::unexpected(written.error());
  }
  return file;
}

}  // namespace brimvale::apps
