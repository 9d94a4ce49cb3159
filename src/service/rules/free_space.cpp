#include "service/rules/free_space.h"

#include <algorithm>
#include <filesystem>

#include "common/base/disk_usage.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/rule_text.h"
#include "service/core/action_log.h"
#include "service/core/status_snapshot.h"
#include "service/rules/cloud_eviction.h"
#include "service/rules/rule_run_lock.h"
#include "service/rules/rules_engine.h"

namespace brimvale::service {
namespace fs = std::filesystem;

namespace {

const std::string kRule(40, '-');
constexpr std::uint64_t kHintGib = 30;
constexpr std::size_t kHintSnapshots = 5;

struct BatchCounts {
  std::uint64_t moved = 0;
  std::uint64_t cachesCleaned = 0;
};

BatchCounts countLastBatch(const StatePaths& paths, bool* empty = nullptr) {
  BatchCounts counts;
  const auto rows = readLastBatch(paths);
  for (const auto& row : rows) {
    if (row.action == "move") ++counts.moved;
    if (row.action == "delete-cache") ++counts.cachesCleaned;
  }
  if (empty != nullptr) *empty = rows.empty();
  return counts;
}

// Disk usage in whole GiB (KiB ÷ 1,048,576, truncated); 0 when unreadable.
std::uint64_t gibOf(const fs::path& path) {
  return diskUsageBytes(path).value_or(0) / 1024 / 1048576;
}

bool hasCacheRule(const ServiceConfig& cfg) {
  const auto rules = cfg.rules();
  return std::any_of(rules.begin(), rules.end(), [](const std::string& rule) {
    return parseRuleText(rule).action == "app_cache_clean";
  });
}

bool listed(const std::string& allowList, const std::string& label) {
  for (std::string_view entry : splitFields(allowList, ",")) {
    if (entry == label) return true;
  }
  return false;
}

// Step 3: every detected root that the allow-list (when set) names.
EvictionCounters optimiseCloud(ServiceContext& ctx, std::size_t stepCount) {
  const std::string allowList = ctx.cfg().get(config_keys::kOptimiseCloudProviders);
  ctx.out << "\nStep 3/" << stepCount << " — Optimising cloud storage locally\n";
  if (allowList.empty()) {
    ctx.out << "  Providers enabled: (all detected — legacy INCLUDE_CLOUD_EVICT=1)\n";
  } else {
    ctx.out << "  Providers enabled: " << allowList << "\n";
  }
  EvictionCounters counters;
  Guards guards(ctx.paths.home, *ctx.platform.files);
  bool anyRoot = false;
  bool anyEnabled = false;
  for (const auto& root : listCloudRoots(ctx.paths.home)) {
    std::error_code ec;
    if (!fs::is_directory(root.path, ec)) continue;
    anyRoot = true;
    if (!allowList.empty() && !listed(allowList, root.label)) {
      ctx.out << "\n  ─ " << root.label << "  (disabled in Preferences — skipped)\n";
      continue;
    }
    anyEnabled = true;
    ctx.out << "\n  ─ " << root.label << "\n";
    evictRoot(ctx, guards, root.path, counters);
  }
  if (!anyRoot) {
    ctx.out << "  No cloud storage providers detected — skipping.\n";
  } else if (!anyEnabled) {
    ctx.out << "  No enabled providers matched any detected cloud root — skipping.\n";
  }
  return counters;
}

void printHints(ServiceContext& ctx, std::uint64_t appsGb, std::uint64_t documentsGb,
                std::size_t snapshots) {
  bool headed = false;
  auto header = [&] {
    if (headed) return;
    headed = true;
    ctx.out << "\nWant more space? A few places Brimvale can't reach automatically:\n";
  };
  if (appsGb >= kHintGib) {
    header();
    ctx.out << "  • /Applications uses " << appsGb
            << " GB — open Brimvale → Apps to relocate large apps to NVMe.\n";
  }
  if (documentsGb >= kHintGib) {
    header();
    ctx.out << "  • Documents uses " << documentsGb << " GB. Two ways to reclaim it:\n"
            << "      a) Open Brimvale → Tier, navigate left to ~/Documents,\n"
            << "         right to the per-Mac folder on NVMe, pair the panes, and move large\n"
            << "         subfolders to NVMe. The original location keeps working via\n"
            << "         a symlink. Best for local working sets, project archives, etc.\n"
            << "      b) If your Documents are iCloud-synced (Desktop & Documents toggle\n"
            << "         in System Settings → Apple Account → iCloud Drive), toggle\n"
            << "         \"Optimise Mac Storage\" on. macOS will evict downloaded copies\n"
            << "         the next time space pressure rises. NOTE: Brimvale can't\n"
            << "         do this automatically — macOS 14+ removed the brctl evict\n"
            << "         subcommand the daemon used to drive.\n";
  }
  if (snapshots >= kHintSnapshots) {
    header();
    ctx.out << "  • " << snapshots
            << " APFS local snapshots present (often the bulk of System Data).\n"
            << "    Run:  sudo tmutil thinlocalsnapshots / 999999999999 4\n"
            << "    to thin every snapshot older than 4 hours.\n";
  }
}

}  // namespace

std::string deltaLabel(std::int64_t delta) {
  if (delta > 0) return "+" + std::to_string(delta);
  if (delta < 0) return std::to_string(delta);
  return "±0";
}

int freeSpaceCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  const ServiceConfig& cfg = ctx.cfg();
  const std::string startedAt = ts(ctx.clock());
  ctx.out << "Free Up Space — started at " << startedAt << "\n" << kRule << "\n";
  if (isPaused(ctx)) {
    ctx.out << "Manager is paused — resume it first to run actions.\n";
    return 1;
  }
  auto lock = RuleRunLock::acquire(ctx.paths);
  if (!lock) {
    ctx.log.say(lock.error());
    return 1;
  }
  const std::uint64_t beforeBytes = ctx.platform.volumes->measure("/").freeBytes;
  const bool cloudStep = !cfg.get(config_keys::kOptimiseCloudProviders).empty() ||
                         cfg.flag(config_keys::kIncludeCloudEvict);
  const std::size_t steps = cloudStep ? 3 : 2;
  const bool cacheRule = hasCacheRule(cfg);
  Guards guards(ctx.paths.home, *ctx.platform.files);

  ctx.out << "\nStep 1/" << steps << " — Relocating rule-matched paths to NVMe\n";
  BatchCounts counts;
  bool cachesDone = false;
  if (driveUsable(ctx)) {
    if (!runRules(ctx, guards, RunMode::kReal)) {  // starts its own batch
      ctx.out << "  (rule run reported a non-zero exit; cache cleanup will still proceed)\n";
    }
    counts = countLastBatch(ctx.paths);
    cachesDone = cacheRule;
    markLastRun(ctx, "free-space");
  } else {
    ctx.out << "  NVMe not mounted — skipping relocation step.\n";
  }

  ctx.out << "\nStep 2/" << steps << " — Cleaning app caches\n";
  if (cachesDone) {
    if (counts.cachesCleaned > 0) {
      ctx.out << "  (Already cleaned by the app_cache_clean rule in Step 1 — skipping.)\n";
    } else {
      ctx.out << "  (Step 1's app_cache_clean rule honoured the age floor — nothing eligible. "
                 "Skipping fallback to preserve your settings.)\n";
    }
  } else {
    (void)newBatch(ctx.paths);
    cleanAppCaches(ctx, guards, RunMode::kReal, 0);
    bool empty = true;
    const BatchCounts fallback = countLastBatch(ctx.paths, &empty);
    if (!empty) counts.cachesCleaned = fallback.cachesCleaned;
  }

  EvictionCounters cloud;
  if (cloudStep) cloud = optimiseCloud(ctx, steps);

  const std::uint64_t afterBytes = ctx.platform.volumes->measure("/").freeBytes;
  const auto beforeGb = static_cast<std::int64_t>(decimalGb(beforeBytes));
  const auto afterGb = static_cast<std::int64_t>(decimalGb(afterBytes));
  const std::uint64_t appsGb = gibOf("/Applications");
  const std::uint64_t documentsGb = gibOf(ctx.paths.home / "Documents");
  const std::uint64_t desktopGb = gibOf(ctx.paths.home / "Desktop");
  const std::size_t snapshots = ctx.platform.snapshots->count();

  const std::string finishedAt = ts(ctx.clock());
  ctx.out << "\n"
          << kRule << "\n"
          << "Free Up Space — finished at " << finishedAt << "\n"
          << "  Internal free: " << beforeGb << " GB → " << afterGb << " GB  (Δ "
          << deltaLabel(afterGb - beforeGb) << " GB)\n"
          << "  Files relocated to NVMe: " << counts.moved << "\n"
          << "  App caches cleaned: " << counts.cachesCleaned << "\n";
  if (cloudStep) {
    ctx.out << "  Cloud files evicted locally: " << cloud.evicted << "  (≈ "
            << cloud.bytesFreed / 1048576 << " MB freed)\n";
  }
  if (counts.moved == 0 && counts.cachesCleaned == 0 && cloud.evicted == 0) {
    ctx.out << "\n  Nothing to do — your system was already optimized.\n"
            << "  (Rules matched no eligible files, no app caches needed cleanup, \n"
            << (cloudStep ? "  and no cloud files were locally downloaded.)\n"
                          : "  and no app caches needed cleanup.)\n");
  }
  printHints(ctx, appsGb, documentsGb, snapshots);

  const auto signedDelta = [](std::uint64_t after, std::uint64_t before) {
    return std::to_string(static_cast<std::int64_t>(after - before));
  };
  (void)writeFileAtomically(ctx.paths.state / "last-free-space.txt",
                            renderKeyValues({
                                {"started_at", startedAt},
                                {"finished_at", finishedAt},
                                {"before_free_gb", std::to_string(beforeGb)},
                                {"after_free_gb", std::to_string(afterGb)},
                                {"delta_gb", std::to_string(afterGb - beforeGb)},
                                {"before_free_bytes", std::to_string(beforeBytes)},
                                {"after_free_bytes", std::to_string(afterBytes)},
                                {"delta_bytes", signedDelta(afterBytes, beforeBytes)},
                                {"files_moved", std::to_string(counts.moved)},
                                {"caches_cleaned", std::to_string(counts.cachesCleaned)},
                                {"cloud_evicted", std::to_string(cloud.evicted)},
                                {"cloud_bytes_freed", std::to_string(cloud.bytesFreed)},
                                {"include_cloud_evict", cloudStep ? "1" : "0"},
                                {"apps_gb", std::to_string(appsGb)},
                                {"documents_gb", std::to_string(documentsGb)},
                                {"desktop_gb", std::to_string(desktopGb)},
                                {"apfs_snapshot_count", std::to_string(snapshots)},
                                {"user_has_cache_rule", cacheRule ? "1" : "0"},
                            }));
  (void)writeStatusJson(ctx);
  return 0;
}

}  // namespace brimvale::service
