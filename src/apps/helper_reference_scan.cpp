#include "apps/helper_reference_scan.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <utility>

#include "apps/plist_file.h"

namespace brimvale::apps {
namespace {

constexpr std::array<std::pair<HelperKind, std::string_view>, 4> kKindRaw{{
    {HelperKind::kPrivilegedHelper, "privilegedHelper"},
    {HelperKind::kLaunchDaemon, "launchDaemon"},
    {HelperKind::kLaunchAgentSystem, "launchAgentSystem"},
    {HelperKind::kLaunchAgentUser, "launchAgentUser"},
}};

using HelperKindRow = std::pair<HelperKind, std::string_view>;

std::vector<std::filesystem::path> plistsIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().extension() == ".plist") out.push_back(entry.path());
  }
  std::ranges::sort(out);
  return out;
}

// A program inside the bundle, not merely one whose path begins with the same characters
// ("/Applications/Foo.app Helper/..." is not inside "/Applications/Foo.app").
bool insideBundle(std::string_view program, const std::string& bundle) {
  return program.starts_with(bundle) &&
         (program.size() == bundle.size() || program[bundle.size()] == '/');
}

}  // namespace

std::string_view helperKindRaw(HelperKind kind) {
  return std::ranges::find(kKindRaw, kind, &HelperKindRow::first)->second;
}

std::vector<HelperFolder> standardHelperFolders(const std::filesystem::path& home) {
  return {{"/Library/PrivilegedHelperTools", HelperKind::kPrivilegedHelper},
          {"/Library/LaunchDaemons", HelperKind::kLaunchDaemon},
          {"/Library/LaunchAgents", HelperKind::kLaunchAgentSystem},
          {home / "Library" / "LaunchAgents", HelperKind::kLaunchAgentUser}};
}

std::vector<HelperToolReference> HelperToolScanner::scan(
    const std::filesystem::path& bundle) const {
  std::string bundlePath = bundle.string();
  while (bundlePath.size() > 1 && bundlePath.back() == '/') bundlePath.pop_back();
  std::vector<HelperToolReference> out;
  for (const HelperFolder& folder : folders_) {
    for (const std::filesystem::path& plist : plistsIn(folder.folder)) {
      PlistTree job = readPlistDict(plist);
      if (!job) continue;
      std::string label = plistString(job.get(), "Label").value_or("(no label)");
      std::vector<std::string> programs;
      if (auto program = plistString(job.get(), "Program")) programs.push_back(*program);
      for (std::string& arg : plistStrings(plistChild(job.get(), "ProgramArguments", PLIST_ARRAY)))
        programs.push_back(std::move(arg));
      for (const std::string& program : programs) {
        if (insideBundle(program, bundlePath)) out.push_back({plist, label, program, folder.kind});
      }
    }
  }
  return out;
}

}  // namespace brimvale::apps
