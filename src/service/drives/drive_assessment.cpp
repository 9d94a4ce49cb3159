#include "service/drives/drive_assessment.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "common/base/json_writer.h"
#include "common/base/text_formats.h"
#include "common/state/config_keys.h"

namespace brimvale::service {
namespace {

constexpr std::array<std::string_view, 5> kNetworkProtocols{"SMB", "AFP", "NFS", "WebDAV", "SSHFS"};

std::vector<std::string> commaList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    items.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return items;
}

bool listHas(const std::string& list, std::string_view item, bool ignoreCase) {
  for (const std::string& entry : commaList(list)) {
    if (ignoreCase ? asciiLower(entry) == asciiLower(item) : entry == item) return true;
  }
  return false;
}

}  // namespace

Verdict assessDrive(const platform::DriveInfo& info, const ServiceConfig& cfg,
                    const PlatformWords& words) {
  Verdict v;
  const std::string& fs = info.filesystem;
  if (listHas(cfg.get(config_keys::kAllowedFilesystems), fs, false)) {
    // fit
  } else if (listHas(cfg.get(config_keys::kWarnFilesystems), fs, true)) {
    v.verdict = "warn";
    v.warnings.push_back("Filesystem " + fs + " has known issues with " +
                         std::string(words.system) + " symlinks and permissions. " +
                         std::string(words.recommendedFilesystem) + " is strongly recommended.");
  } else if (listHas(cfg.get(config_keys::kBlockFilesystems), fs, true)) {
    v.verdict = "block";
    v.reasons.push_back("Filesystem " + fs + " is not supported" +
                        std::string(words.unsupportedFilesystemWhy));
  } else {
    v.verdict = "warn";
    v.warnings.push_back("Filesystem " + fs + " is non-standard. " +
                         std::string(words.recommendedFilesystems) + " is recommended.");
  }
  if (info.location == "Internal") {
    v.verdict = "block";
    v.reasons.push_back("This is an internal drive. The point of " +
                        std::string(words.productName) + " is to offload to an EXTERNAL drive.");
  }
  for (std::string_view network : kNetworkProtocols) {
    if (info.protocol.find(network) != std::string::npos) {
      v.verdict = "block";
      v.reasons.push_back("Network drives over " + info.protocol + " are not supported.");
      break;
    }
  }
  return v;
}

std::string jsonStringArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    out += '"' + jsonEscape(items[i]) + '"';
  }
  return out + "]";
}

std::string renderAssessmentJson(const platform::DriveInfo& info, const Verdict& v) {
  JsonObjectWriter w;
  w.string("verdict", v.verdict)
      .string("filesystem", info.filesystem)
      .string("protocol", info.protocol)
      .string("removable", info.removable)
      .string("location", info.location)
      .raw("reasons", jsonStringArray(v.reasons))
      .raw("warnings", jsonStringArray(v.warnings));
  return w.str();
}

BenchmarkLimits benchmarkLimits(const ServiceConfig& cfg) {
  return {cfg.getInt(config_keys::kMinReadMbps), cfg.getInt(config_keys::kMinWriteMbps),
          cfg.getInt(config_keys::kWarnBelowReadMbps),
          cfg.getInt(config_keys::kWarnBelowWriteMbps)};
}

Verdict benchmarkVerdict(std::int64_t readMbps, std::int64_t writeMbps,
                         const BenchmarkLimits& limits) {
  Verdict v;
  const std::string r = std::to_string(readMbps);
  const std::string w = std::to_string(writeMbps);
  if (readMbps < limits.minReadMbps) {
    v.verdict = "block";
    v.warnings.push_back("Read speed " + r + " MB/s is below the minimum " +
                         std::to_string(limits.minReadMbps) +
                         " MB/s — too slow for relocated dev caches.");
  }
  if (writeMbps < limits.minWriteMbps) {
    v.verdict = "block";
    v.warnings.push_back("Write speed " + w + " MB/s is below the minimum " +
                         std::to_string(limits.minWriteMbps) + " MB/s.");
  }
  if (v.verdict == "block") return v;
  if (readMbps < limits.warnReadMbps) {
    v.verdict = "warn";
    v.warnings.push_back("Read speed " + r + " MB/s is slower than recommended (>= " +
                         std::to_string(limits.warnReadMbps) + " MB/s).");
  }
  if (writeMbps < limits.warnWriteMbps) {
    v.verdict = "warn";
    v.warnings.push_back("Write speed " + w + " MB/s is slower than recommended (>= " +
                         std::to_string(limits.warnWriteMbps) + " MB/s).");
  }
  return v;
}

bool isSystemManagedVolumeName(std::string_view name) {
  if (name.starts_with('.')) return true;
  std::string l = asciiLower(name);
  return l.starts_with("com.apple.timemachine") || l.starts_with("time machine") ||
         l.starts_with("backups of ") || l.ends_with(".sparsebundle") ||
         l.ends_with(".backupbundle");
}

}  // namespace brimvale::service
