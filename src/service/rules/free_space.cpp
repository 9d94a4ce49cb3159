#include "service/rules/free_space.h"

#include <algorithm>
#include <filesystem>

#include "common/base/best_effort.h"
#include "common/base/disk_usage.h"
#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/platform_words.h"
#include "common/base/text_formats.h"
#include "common/base/timestamps.h"
#include "common/state/config_keys.h"
#include "common/state/rule_text.h"
#include "platform/byte_count_format.h"
#include "service/core/action_log.h"
#include "service/core/rule_run_lock.h"
#include "service/core/status_snapshot.h"
#include "service/rules/cloud_eviction.h"
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

// Whole GiB of a disk usage in bytes (KiB ÷ 1,048,576, truncated).
std::uint64_t gibOf(std::uint64_t bytes) { return bytes / 1024 / 1048576; }

// A size in the report, as this platform's sentences count it.
std::string sizeText(std::uint64_t bytes, std::int64_t wholeGb) {
  return platform::gigabytesText(static_cast<std::int64_t>(bytes), wholeGb);
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
void optimiseCloud(ServiceContext& ctx, FreeSpaceOutcome& outcome,
                   const FreeSpaceObserver& observe) {
  CloudStepOutcome& cloud = outcome.cloud.emplace();
  cloud.allowList = ctx.cfg().get(config_keys::kOptimiseCloudProviders);
  observe(outcome, FreeSpaceMoment::kCloudStepStarted);
  Guards guards(ctx.paths.home, *ctx.platform.files);
  for (const auto& root : listCloudRoots(ctx.paths.home)) {
    if (!isDirectory(root.path).value_or(false)) continue;
    const bool enabled = cloud.allowList.empty() || listed(cloud.allowList, root.label);
    cloud.roots.push_back({root.label, enabled});
    observe(outcome, FreeSpaceMoment::kCloudRootReached);
    if (enabled) evictRoot(ctx, guards, root.path, cloud.counters);
  }
  observe(outcome, FreeSpaceMoment::kCloudStepEnded);
}

void writeResultFile(const ServiceContext& ctx, const FreeSpaceOutcome& o) {
  const auto signedDelta = [](std::uint64_t after, std::uint64_t before) {
    return std::to_string(static_cast<std::int64_t>(after - before));
  };
  const EvictionCounters cloud = o.cloud ? o.cloud->counters : EvictionCounters{};
  bestEffort(writeFileAtomically(ctx.paths.state / "last-free-space.txt",
                                 renderKeyValues({
                                     {"started_at", o.startedAt},
                                     {"finished_at", o.finishedAt},
                                     {"before_free_gb", std::to_string(o.beforeGb)},
                                     {"after_free_gb", std::to_string(o.afterGb)},
                                     {"delta_gb", std::to_string(o.afterGb - o.beforeGb)},
                                     {"before_free_bytes", std::to_string(o.beforeBytes)},
                                     {"after_free_bytes", std::to_string(o.afterBytes)},
                                     {"delta_bytes", signedDelta(o.afterBytes, o.beforeBytes)},
                                     {"files_moved", std::to_string(o.moved)},
                                     {"caches_cleaned", std::to_string(o.cachesCleaned)},
                                     {"cloud_evicted", std::to_string(cloud.evicted)},
                                     {"cloud_bytes_freed", std::to_string(cloud.bytesFreed)},
                                     {"include_cloud_evict", o.cloud ? "1" : "0"},
                                     {"apps_gb", std::to_string(o.appsGb)},
                                     {"documents_gb", std::to_string(o.documentsGb)},
                                     {"desktop_gb", std::to_string(o.desktopGb)},
                                     {"apfs_snapshot_count", std::to_string(o.snapshots)},
                                     {"user_has_cache_rule", o.cacheRule ? "1" : "0"},
                                 })),
             DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "recording the free-space result");
}

void renderCloudStep(const FreeSpaceOutcome& o, FreeSpaceMoment moment, std::ostream& out) {
  const CloudStepOutcome& cloud = *o.cloud;
  if (moment == FreeSpaceMoment::kCloudStepStarted) {
    out << "\nStep 3/" << o.steps << " — Optimising cloud storage locally\n";
    if (cloud.allowList.empty()) {
      out << "  Providers enabled: (all detected — legacy INCLUDE_CLOUD_EVICT=1)\n";
    } else {
      out << "  Providers enabled: " << cloud.allowList << "\n";
    }
  } else if (moment == FreeSpaceMoment::kCloudRootReached) {
    const CloudRootVisit& root = cloud.roots.back();
    out << "\n  ─ " << root.label
        << (root.enabled ? "\n" : "  (disabled in Preferences — skipped)\n");
  } else if (cloud.roots.empty()) {
    out << "  No cloud storage providers detected — skipping.\n";
  } else if (std::none_of(cloud.roots.begin(), cloud.roots.end(),
                          [](const CloudRootVisit& root) { return root.enabled; })) {
    out << "  No enabled providers matched any detected cloud root — skipping.\n";
  }
}

void renderHints(const FreeSpaceOutcome& o, std::ostream& out) {
  bool headed = false;
  auto header = [&] {
    if (headed) return;
    headed = true;
    out << "\nWant more space? A few places Brimvale can't reach automatically:\n";
  };
  if (o.appsGb >= kHintGib) {
    header();
    out << "  • /Applications uses " << sizeText(o.appsBytes, static_cast<std::int64_t>(o.appsGb))
        << " — open Brimvale → Apps to relocate large apps to NVMe.\n";
  }
  if (o.documentsGb >= kHintGib) {
    header();
    out << "  • Documents uses "
        << sizeText(o.documentsBytes, static_cast<std::int64_t>(o.documentsGb))
        << ". Two ways to reclaim it:\n"
        << "      a) Open Brimvale → Tier, navigate left to ~/Documents,\n"
        << "         right to the per-" << kHostWords.computer
        << " folder on NVMe, pair the panes, and move large\n"
        << "         subfolders to NVMe. The original location keeps working via\n"
        << "         a symlink. Best for local working sets, project archives, etc.\n"
        << kHostWords.documentsCloudHint;
  }
  if (!kHostWords.hasLocalSnapshots) {
    header();
    out << "  • Local snapshots aren't available on this " << kHostWords.computer
        << ", so none were counted or thinned.\n";
  } else if (o.snapshots >= kHintSnapshots) {
    header();
    out << "  • " << o.snapshots
        << " APFS local snapshots present (often the bulk of System Data).\n"
        << "    Run:  sudo tmutil thinlocalsnapshots / 999999999999 4\n"
        << "    to thin every snapshot older than 4 hours.\n";
  }
}

void renderSummary(const FreeSpaceOutcome& o, std::ostream& out) {
  const EvictionCounters cloud = o.cloud ? o.cloud->counters : EvictionCounters{};
  out << "\n"
      << kRule << "\n"
      << "Free Up Space — finished at " << o.finishedAt << "\n"
      << "  Internal free: " << sizeText(o.beforeBytes, o.beforeGb) << " → "
      << sizeText(o.afterBytes, o.afterGb) << "  (Δ "
      << platform::gigabytesChangeText(static_cast<std::int64_t>(o.afterBytes - o.beforeBytes),
                                       o.afterGb - o.beforeGb)
      << ")\n"
      << "  Files relocated to NVMe: " << o.moved << "\n"
      << "  App caches cleaned: " << o.cachesCleaned << "\n";
  if (o.cloud) {
    out << "  Cloud files evicted locally: " << cloud.evicted << "  (≈ "
        << cloud.bytesFreed / 1048576 << " MB freed)\n";
  }
  if (o.moved == 0 && o.cachesCleaned == 0 && cloud.evicted == 0) {
    out << "\n  Nothing to do — your system was already optimized.\n"
        << "  (Rules matched no eligible files, no app caches needed cleanup, \n"
        << (o.cloud ? "  and no cloud files were locally downloaded.)\n"
                    : "  and no app caches needed cleanup.)\n");
  }
  renderHints(o, out);
}

}  // namespace

FreeSpaceOutcome runFreeSpace(ServiceContext& ctx, const FreeSpaceObserver& observe) {
  const ServiceConfig& cfg = ctx.cfg();
  FreeSpaceOutcome o;
  o.startedAt = ts(ctx.clock());
  observe(o, FreeSpaceMoment::kStarted);
  if (isPaused(ctx)) {
    o.paused = true;
    o.exitCode = 1;
    observe(o, FreeSpaceMoment::kPaused);
    return o;
  }
  auto lock = RuleRunLock::acquire(ctx.paths);
  if (!lock) {
    ctx.log.say(lock.error());
    o.exitCode = 1;
    return o;
  }
  o.beforeBytes = ctx.platform.volumes->measure("/").freeBytes;
  const bool cloudStep = !cfg.get(config_keys::kOptimiseCloudProviders).empty() ||
                         cfg.flag(config_keys::kIncludeCloudEvict);
  o.steps = cloudStep ? 3 : 2;
  o.cacheRule = hasCacheRule(cfg);
  Guards guards(ctx.paths.home, *ctx.platform.files);

  observe(o, FreeSpaceMoment::kRelocationStarted);
  o.driveUsable = driveUsable(ctx);
  bool cachesDone = false;
  if (o.driveUsable) {
    if (!runRules(ctx, guards, RunMode::kReal)) {  // starts its own batch
      o.ruleRunFailed = true;
      observe(o, FreeSpaceMoment::kRuleRunFailed);
    }
    const BatchCounts counts = countLastBatch(ctx.paths);
    o.moved = counts.moved;
    o.cachesCleaned = counts.cachesCleaned;
    cachesDone = o.cacheRule;
    markLastRun(ctx, "free-space");
  } else {
    observe(o, FreeSpaceMoment::kRelocationSkipped);
  }

  // The rule's own age floor stands: a fallback clean-up would override it.
  if (cachesDone) {
    o.cacheStep = o.cachesCleaned > 0 ? CacheStepOutcome::kCleanedByRule
                                      : CacheStepOutcome::kRuleFoundNothing;
  }
  observe(o, FreeSpaceMoment::kCacheStepStarted);
  if (!cachesDone) {
    bestEffort(newBatch(ctx.paths), DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
               "starting a new undo batch");
    cleanAppCaches(ctx, guards, RunMode::kReal, 0);
    bool empty = true;
    const BatchCounts fallback = countLastBatch(ctx.paths, &empty);
    if (!empty) o.cachesCleaned = fallback.cachesCleaned;
  }

  if (cloudStep) optimiseCloud(ctx, o, observe);

  o.afterBytes = ctx.platform.volumes->measure("/").freeBytes;
  o.beforeGb = static_cast<std::int64_t>(decimalGb(o.beforeBytes));
  o.afterGb = static_cast<std::int64_t>(decimalGb(o.afterBytes));
  o.appsBytes = diskUsageBytes("/Applications").value_or(0);
  o.documentsBytes = diskUsageBytes(ctx.paths.home / "Documents").value_or(0);
  o.appsGb = gibOf(o.appsBytes);
  o.documentsGb = gibOf(o.documentsBytes);
  o.desktopGb = gibOf(diskUsageBytes(ctx.paths.home / "Desktop").value_or(0));
  o.snapshots = ctx.platform.snapshots->count();
  o.finishedAt = ts(ctx.clock());
  observe(o, FreeSpaceMoment::kFinished);
  writeResultFile(ctx, o);
  bestEffort(writeStatusJson(ctx).saved, DiagnosticsLog(ctx.paths.diagnosticsLog, ctx.clock),
             "writing the status snapshot");
  return o;
}

void renderFreeSpace(const FreeSpaceOutcome& o, FreeSpaceMoment moment, std::ostream& out) {
  switch (moment) {
    case FreeSpaceMoment::kStarted:
      out << "Free Up Space — started at " << o.startedAt << "\n" << kRule << "\n";
      return;
    case FreeSpaceMoment::kPaused:
      out << "Manager is paused — resume it first to run actions.\n";
      return;
    case FreeSpaceMoment::kRelocationStarted:
      out << "\nStep 1/" << o.steps << " — Relocating rule-matched paths to NVMe\n";
      return;
    case FreeSpaceMoment::kRuleRunFailed:
      out << "  (rule run reported a non-zero exit; cache cleanup will still proceed)\n";
      return;
    case FreeSpaceMoment::kRelocationSkipped:
      out << "  NVMe not mounted — skipping relocation step.\n";
      return;
    case FreeSpaceMoment::kCacheStepStarted:
      out << "\nStep 2/" << o.steps << " — Cleaning app caches\n";
      if (o.cacheStep == CacheStepOutcome::kCleanedByRule) {
        out << "  (Already cleaned by the app_cache_clean rule in Step 1 — skipping.)\n";
      } else if (o.cacheStep == CacheStepOutcome::kRuleFoundNothing) {
        out << "  (Step 1's app_cache_clean rule honoured the age floor — nothing eligible. "
               "Skipping fallback to preserve your settings.)\n";
      }
      return;
    case FreeSpaceMoment::kCloudStepStarted:
    case FreeSpaceMoment::kCloudRootReached:
    case FreeSpaceMoment::kCloudStepEnded: renderCloudStep(o, moment, out); return;
    case FreeSpaceMoment::kFinished: renderSummary(o, out); return;
  }
}

int freeSpaceCommand(ServiceContext& ctx, const std::vector<std::string>&) {
  return runFreeSpace(ctx,
                      [&ctx](const FreeSpaceOutcome& outcome, FreeSpaceMoment moment) {
                        renderFreeSpace(outcome, moment, ctx.out);
                      })
      .exitCode;
}

}  // namespace brimvale::service
