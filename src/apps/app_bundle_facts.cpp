#include "apps/app_bundle_facts.h"

#include <sys/stat.h>

#include <system_error>

#include "common/base/disk_usage.h"

namespace brimvale::apps {
namespace fs = std::filesystem;
namespace {

std::optional<std::int64_t> modifiedNanos(const fs::path& path) {
  struct stat facts {};
  if (stat(path.c_str(), &facts) != 0) return std::nullopt;
  return static_cast<std::int64_t>(facts.st_mtim.tv_sec) * 1'000'000'000 + facts.st_mtim.tv_nsec;
}

}  // namespace

std::optional<BundleStamp> bundleStamp(const fs::path& bundle) {
  const auto folder = modifiedNanos(bundle);
  if (!folder) return std::nullopt;
  return BundleStamp{
      .bundleNanos = *folder,
      .infoPlistNanos = modifiedNanos(bundle / "Contents" / "Info.plist").value_or(0)};
}

std::string mainProgramName(const std::optional<InfoPlist>& info) {
  if (!info || info->executable.find('/') != std::string::npos || info->executable == "..")
    return {};
  return info->executable;
}

BundleFacts measureBundleFacts(const fs::path& bundle, platform::BundleProbe& probe) {
  std::error_code ec;
  // The walk counts a link as a link; a relocated bundle is measured where it lives.
  const fs::path measured = fs::is_symlink(bundle, ec) ? fs::canonical(bundle, ec) : bundle;
  BundleFacts facts;
  facts.info = readInfoPlist(bundle);
  const std::string program = mainProgramName(facts.info);
  const std::string executable =
      program.empty() ? std::string() : (bundle / "Contents" / "MacOS" / program).string();
  if (!ec) facts.sizeBytes = static_cast<std::int64_t>(diskUsageBytes(measured).value_or(0));
  facts.lastUsed = probe.lastUsed(bundle.string(), executable);
  facts.appleSigned = probe.appleSigned(bundle.string());
  return facts;
}

}  // namespace brimvale::apps
