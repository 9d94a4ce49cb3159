#include "app/core/app_risk_report_command.h"

#include "app/core/json_output.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "apps/app_facts_cache.h"
#include "common/base/best_effort.h"
#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kBundleSuffix = ".app";

// The path as the catalogue names it: absolute, normal, without a trailing "/".
fs::path catalogueForm(const std::string& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec).lexically_normal();
  if (!absolute.has_filename() && absolute.has_parent_path()) absolute = absolute.parent_path();
  return absolute;
}

// Why nothing at `bundle` can be inspected; nullopt when it is a bundle or a
// link to one (whose drive may be away: it still names a relocated app).
std::optional<std::string> notABundle(const fs::path& bundle) {
  std::error_code ec;
  const bool link = fs::is_symlink(bundle, ec);
  if (!link && !fs::exists(bundle, ec)) {
    return "There is nothing at " + bundle.string() +
           " to inspect. Check the path and try again. Nothing was changed.";
  }
  const std::string name = bundle.filename().string();
  const bool bundleName = name.size() > kBundleSuffix.size() && name.ends_with(kBundleSuffix);
  if (!bundleName || (!link && !fs::is_directory(bundle, ec))) {
    return bundle.string() +
           " is not an application bundle (a folder whose name ends in .app), so there is "
           "nothing to inspect. Nothing was changed.";
  }
  return std::nullopt;
}

json loadCommandJson(const apps::BundleLoadCommand& c) {
  return {{"binaryRelativePath", c.binaryRelativePath},
          {"loadPath", c.loadPath},
          {"kind", apps::loadPathKindRaw(c.kind)}};
}

std::string helperKindText(apps::HelperKind kind) {
  switch (kind) {
    case apps::HelperKind::kPrivilegedHelper: return "privileged helper";
    case apps::HelperKind::kLaunchDaemon: return "launch daemon";
    case apps::HelperKind::kLaunchAgentSystem: return "launch agent for every user";
    case apps::HelperKind::kLaunchAgentUser: return "your launch agent";
  }
  return "launchd job";
}

std::string sourceText(apps::TccSource source) {
  return source == apps::TccSource::kCodesignEntitlement ? "signed entitlement"
                                                         : "Info.plist usage description";
}

void loadSection(std::ostringstream& out, const std::string& heading,
                 const std::vector<apps::BundleLoadCommand>& commands) {
  out << heading << ":" << (commands.empty() ? " none" : "") << "\n";
  for (const auto& c : commands) out << "  " << c.binaryRelativePath << " → " << c.loadPath << "\n";
}

}  // namespace

std::string inspectionJson(const ClassifiedApp& app) {
  const apps::AppEntry& e = app.entry;
  const apps::AppClassificationResult& r = app.classification;
  const std::string_view description = apps::updateFrameworkDescription(r.updateFramework);
  json details = json::array();
  for (const auto& [name, value] : r.updateFrameworkDetails)
    details.push_back({{"name", name}, {"value", value}});
  json entitlements = json::array();
  for (const auto& t : r.tccEntitlements) {
    entitlements.push_back(
        {{"key", t.key}, {"displayName", t.displayName}, {"source", apps::tccSourceRaw(t.source)}});
  }
  json loads = json::array();
  for (const auto& c : r.dependencyReport) loads.push_back(loadCommandJson(c));
  json helpers = json::array();
  for (const auto& h : r.helperReferences) {
    helpers.push_back({{"plistPath", h.plistPath.string()},
                       {"label", h.label},
                       {"programPath", h.programPath},
                       {"kind", apps::helperKindRaw(h.kind)}});
  }
  return versionedText(
      json{{"name", e.displayName},
           {"bundlePath", e.bundlePath},
           {"bundleIdentifier", e.bundleIdentifier ? json(*e.bundleIdentifier) : json(nullptr)},
           {"alreadyRelocated", e.alreadyRelocated},
           {"running", e.running},
           {"tier", static_cast<int>(r.tier)},
           {"tierBadge", apps::tierBadge(r.tier)},
           {"tierMeaning", apps::tierMeaning(r.tier)},
           {"tierReason", r.reason},
           {"scanned", r.tier != apps::RiskTier::kBlocked},
           {"updateFramework", apps::updateFrameworkRaw(r.updateFramework)},
           {"updateFrameworkDescription", description.empty() ? json(nullptr) : json(description)},
           {"updateFrameworkDetails", std::move(details)},
           {"tccEntitlements", std::move(entitlements)},
           {"loadCommands", std::move(loads)},
           {"helperReferences", std::move(helpers)},
           {"classifiedAt", isots(apps::Clock::to_time_t(r.classifiedAt))}});
}

std::string inspectionText(const ClassifiedApp& app) {
  const apps::AppEntry& e = app.entry;
  const apps::AppClassificationResult& r = app.classification;
  std::ostringstream out;
  out << e.displayName << " (" << e.bundlePath << ")\n";
  out << "Tier " << static_cast<int>(r.tier) << ", " << apps::tierBadge(r.tier) << ": "
      << apps::tierMeaning(r.tier) << "\n";
  out << "Reason: " << r.reason << "\n";
  if (r.tier == apps::RiskTier::kBlocked) {
    out << "The bundle was not inspected further, since this app cannot be moved as it stands.\n";
    return out.str();
  }
  const std::string_view description = apps::updateFrameworkDescription(r.updateFramework);
  out << "Update framework: " << apps::updateFrameworkRaw(r.updateFramework);
  if (!description.empty()) out << ". " << description;
  out << "\n";
  for (const auto& [name, value] : r.updateFrameworkDetails)
    out << "  " << name << ": " << value << "\n";
  out << "Privacy permissions:" << (r.tccEntitlements.empty() ? " none" : "") << "\n";
  for (const auto& t : r.tccEntitlements)
    out << "  " << t.displayName << " (" << t.key << ", " << sourceText(t.source) << ")\n";
  loadSection(out, "Load paths that hard-code this bundle's location",
              apps::loadCommandsOfKind(r.dependencyReport, apps::LoadPathKind::kHardcodedAppPath));
  loadSection(
      out, "Load paths outside the system folders",
      apps::loadCommandsOfKind(r.dependencyReport, apps::LoadPathKind::kUnsupportedAbsolute));
#if defined(__APPLE__)
  out << "Launchd jobs and helpers pointing into the bundle:"
#else
  out << "Service jobs and helpers pointing into the bundle:"
#endif
      << (r.helperReferences.empty() ? " none" : "") << "\n";
  for (const auto& h : r.helperReferences) {
    out << "  " << h.label << " (" << helperKindText(h.kind) << ", " << h.plistPath.string()
        << ") runs " << h.programPath << "\n";
  }
  return out.str();
}

int appsInspectCommand(AppsCommandHost& host, const std::string& path, bool asJson) {
  const fs::path bundle = catalogueForm(path);
  if (auto why = notABundle(bundle)) {
    host.err << *why << "\n";
    return 1;
  }
  auto cache = apps::AppFactsCache::load(host.factsCache);
  apps::AppDiscovery discovery(host.folders, host.probe, cache, host.isRunning);
  ClassifiedApp app{.entry = discovery.entryAt(bundle, host.now)};
  bestEffort(cache.save(), DiagnosticsLog(host.diagnosticsLog), "saving the app facts");
  app.classification =
      apps::classify(apps::classifierInputFor(app.entry, inspectionSources(host)), host.classifier);
  host.out << (asJson ? inspectionJson(app) : inspectionText(app));
  return 0;
}

}  // namespace brimvale::app
