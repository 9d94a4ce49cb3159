#include "service/relocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "common/file_io.h"
#include "common/process.h"
#include "service/action_log.h"
#include "service/status_snapshot.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

const std::string kRule(66, '-');

// The path as given, made absolute, without trailing slashes (so a link is
// examined as a link, not as the folder it points to).
fs::path normalisedSource(const std::string& path) {
  std::string text = path;
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  std::error_code ec;
  fs::path absolute = fs::absolute(text, ec);
  return ec ? fs::path(text) : absolute.lexically_normal();
}

bool isUnder(const fs::path& path, const fs::path& folder) {
  const std::string p = path.string();
  std::string f = folder.string();
  if (!f.ends_with('/')) f += '/';
  return p.starts_with(f);
}

// True when the folder lies on the drive, by its text or through a linked
// parent folder.
bool isOnDrive(const fs::path& src, const fs::path& nvme) {
  if (isUnder(src, nvme)) return true;
  std::error_code ec;
  fs::path parent = fs::canonical(src.parent_path(), ec);
  return !ec && isUnder(parent / src.filename(), nvme);
}

// Claims a fresh target folder: Relocated/{name}, else Relocated/{name}.{epoch}
// (with a counter when a move in the same second took that too). Creating it
// here means the copy never lands in, and a failure never deletes, a folder
// that an earlier relocation owns.
std::optional<fs::path> claimTarget(const fs::path& relocated, const std::string& name,
                                    std::time_t now) {
  const std::string stamped = name + "." + std::to_string(now);
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = relocated / (attempt == 0   ? name
                                      : attempt == 1 ? stamped
                                                     : stamped + "." + std::to_string(attempt));
    if (::mkdir(candidate.c_str(), 0700) == 0) return candidate;
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

fs::path parkedName(const fs::path& src, std::time_t now) {
  fs::path parked = src.string() + ".hollin-old";
  std::error_code ec;
  if (fs::exists(fs::symlink_status(parked, ec))) {
    parked = src.string() + ".hollin-old." + std::to_string(now);
  }
  return parked;
}

void removeTarget(const fs::path& target) {
  std::error_code ec;
  fs::remove_all(target, ec);
}

}  // namespace

MoveDirCode safeMoveDirToNvme(ServiceContext& ctx, Guards& guards, const std::string& path) {
  std::ostream& out = ctx.out;
  if (path.empty()) {
    out << "ERR: no path provided\n";
    return MoveDirCode::kInvalidRequest;
  }
  const fs::path src = normalisedSource(path);
  const std::string srcText = src.string();
  std::error_code ec;
  const fs::file_status linkStatus = fs::symlink_status(src, ec);
  if (!fs::exists(linkStatus)) {
    out << "ERR: source missing: " << srcText << "\n";
    return MoveDirCode::kInvalidRequest;
  }
  if (fs::is_symlink(linkStatus)) {
    out << "ERR: already a symlink (already relocated?): " << srcText << "\n";
    return MoveDirCode::kInvalidRequest;
  }
  if (!fs::is_directory(linkStatus)) {
    out << "ERR: not a directory: " << srcText << "\n";
    return MoveDirCode::kInvalidRequest;
  }
  const ServiceConfig& cfg = ctx.cfg();
  if (!driveUsable(ctx)) {
    out << "ERR: NVMe not mounted at " << cfg.nvme().string() << "\n";
    return MoveDirCode::kDriveNotUsable;
  }
  if (isOnDrive(src, cfg.nvme())) {
    out << "ERR: path is already on NVMe: " << srcText << "\n";
    return MoveDirCode::kInvalidRequest;
  }
  if (isUnder(cfg.nvme(), src)) {
    // Copying a folder into a drive mounted inside it would copy the copy.
    out << "ERR: the NVMe at " << cfg.nvme().string() << " lies inside " << srcText
        << "; a folder can't be moved into itself. Nothing was changed.\n";
    return MoveDirCode::kInvalidRequest;
  }
  if (guards.isOpen(srcText)) {
    out << "ERR: directory is in use by another process. Quit related apps and retry.\n"
        << "     Tip: try `lsof +D \"" << srcText << "\"` to see which processes.\n";
    return MoveDirCode::kInUse;
  }

  const std::time_t now = ctx.clock();
  const fs::path relocated = cfg.base() / "Relocated";
  fs::create_directories(relocated, ec);
  const auto size = bytesOf(srcText);
  const std::string sizeText = size ? std::to_string(*size) : std::string();
  const auto claimed = claimTarget(relocated, src.filename().string(), now);
  if (!claimed) {
    out << "ERR: couldn't create a folder for the copy in " << relocated.string()
        << ". Nothing was moved; your folder is untouched. Check that the drive is writable.\n";
    return MoveDirCode::kCopyFailed;
  }
  const fs::path target = *claimed;
  out << "Source: " << srcText << "\n"
      << "Target: " << target.string() << "\n"
      << "Size:   " << sizeText << " bytes\n\n"
      << "Step 1/3 \u2014 copying via rsync (this is the slow part)\u2026\n";
  out.flush();

  const std::string& rsync = ctx.rsyncPath();
  if (rsync.empty()) {
    removeTarget(target);
    out << "ERR: GNU rsync 3.x is required for moves but isn't installed.\n"
           "     Apple's openrsync (/usr/bin/rsync on macOS 14+) doesn't\n"
           "     support --info=progress2, hard links, or all xattrs that\n"
           "     Brimvale relies on for safe transfers.\n"
           "\n"
           "     Install GNU rsync via Homebrew, then retry:\n"
           "         brew install rsync\n";
    return MoveDirCode::kCopyFailed;
  }
  auto stream = [&out](std::string_view chunk) {
    out << chunk;
    out.flush();
  };
  ProcessResult copy = runProcess({.path = rsync,
                                   .args = {"-aHEX", "--info=progress2", "--no-inc-recursive",
                                            srcText + "/", target.string() + "/"},
                                   .onStdout = stream,
                                   .onStderr = stream,
                                   .captureLimit = 64 << 10});
  if (!copy.succeeded()) {
    out << "ERR: rsync failed; cleaning up partial target and aborting\n";
    removeTarget(target);
    return MoveDirCode::kCopyFailed;
  }
  out << "  copy complete\n";

  out << "\nStep 2/3 \u2014 parking original at " << srcText << ".hollin-old\n";
  const fs::path parked = parkedName(src, now);
  fs::rename(src, parked, ec);
  if (ec) {
    out << "ERR: couldn't move original out of the way\n";
    removeTarget(target);
    return MoveDirCode::kParkFailed;
  }

  out << "\nStep 3/3 \u2014 creating symlink\n";
  fs::create_directory_symlink(target, src, ec);
  if (ec) {
    out << "ERR: couldn't create symlink; restoring original from " << parked.string() << "\n";
    std::error_code back;
    fs::rename(parked, src, back);
    if (back) {
      // The copy stays too: with the original stuck at its parked name, it
      // is the only copy at a path the person was told about.
      out << "ERR: couldn't move the original back either. Your data is safe: the original "
             "is at "
          << parked.string() << " and a full copy at " << target.string()
          << ". Rename the original back to " << srcText << " by hand.\n";
      return MoveDirCode::kLinkFailed;
    }
    removeTarget(target);
    return MoveDirCode::kLinkFailed;
  }

  (void)touchFile(cfg.nvme() / ".brimvale-managed");
  (void)touchFile(cfg.nvme() / ".hollin-managed");
  ctx.log.say("relocate: " + srcText + " -> " + target.string() + " (" + sizeText +
              " bytes; parked original at " + parked.string() + ")");
  (void)recordAction(ctx.paths, now, {"relocate", srcText, target.string(), size});
  out << "\n"
      << kRule << "\n"
      << "OK: relocated " << srcText << " (" << sizeText << " bytes)\n"
      << "Bytes now live on NVMe at: " << target.string() << "\n"
      << "Original parked at:        " << parked.string() << "\n"
      << "\n"
      << "The app(s) using this directory will continue to work \u2014 the path\n"
      << "is now a symlink. Once you've verified everything works, you can\n"
      << "delete the parked backup to reclaim its disk:\n"
      << "  rm -rf \"" << parked.string() << "\"\n"
      << kRule << "\n";
  return MoveDirCode::kRelocated;
}

int moveDirCommand(ServiceContext& ctx, const std::vector<std::string>& args) {
  if (args.empty()) {
    ctx.err << "usage: brim-vale move-dir <absolute-path>\n";
    return 2;
  }
  Guards guards(ctx.paths.home, *ctx.platform.files);
  const MoveDirCode code = safeMoveDirToNvme(ctx, guards, args[0]);
  (void)writeStatusJson(ctx);
  return static_cast<int>(code);
}

}  // namespace brimvale::service
