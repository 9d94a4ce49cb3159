// The verdicts of the Choose Drive window: is a volume fit to be the drive
// (file system, location, protocol), is it fast enough, and which volumes
// are the system's own and never offered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/platform_words.h"
#include "common/state/service_config.h"
#include "platform/platform.h"

namespace brimvale::service {

struct Verdict {
  std::string verdict = "ok";         // ok, warn or block; a later block beats a warn
  std::vector<std::string> reasons;   // why it blocks
  std::vector<std::string> warnings;  // assess: why it warns; benchmark: every note
};

// Assesses a volume against ALLOWED_FILESYSTEMS (exact match),
// WARN_FILESYSTEMS and BLOCK_FILESYSTEMS (case-insensitive), an Internal
// location and a network protocol (SMB, AFP, NFS, WebDAV, SSHFS). The
// removable flag is reported, never judged. `words` name the system's own
// file systems in the advice.
[[nodiscard]] Verdict assessDrive(const platform::DriveInfo& info, const ServiceConfig& cfg,
                                  const PlatformWords& words = kHostWords);

// {"verdict":..,"filesystem":..,"protocol":..,"removable":..,"location":..,"reasons":[..],"warnings":[..]}
[[nodiscard]] std::string renderAssessmentJson(const platform::DriveInfo& info,
                                               const Verdict& verdict);

struct BenchmarkLimits {
  std::int64_t minReadMbps = 40;
  std::int64_t minWriteMbps = 25;
  std::int64_t warnReadMbps = 120;
  std::int64_t warnWriteMbps = 80;
};
[[nodiscard]] BenchmarkLimits benchmarkLimits(const ServiceConfig& cfg);

// Rates below the minimums block; only an unblocked drive gets the slower-
// than-recommended notes (in `warnings`, read before write).
[[nodiscard]] Verdict benchmarkVerdict(std::int64_t readMbps, std::int64_t writeMbps,
                                       const BenchmarkLimits& limits);

// Time Machine, backup bundles and hidden folders under /Volumes are the
// system's own and are never listed as drives.
[[nodiscard]] bool isSystemManagedVolumeName(std::string_view name);

// ["a","b"] with each string escaped for JSON.
[[nodiscard]] std::string jsonStringArray(const std::vector<std::string>& items);

}  // namespace brimvale::service
