#include "apps/classifier_input.h"

namespace brimvale::apps {

CatalogueFacts catalogueFactsOf(const AppEntry& entry) {
  CatalogueFacts facts{.bundlePath = entry.bundlePath,
                       .bundleIdentifier = entry.bundleIdentifier,
                       .displayName = entry.displayName,
                       .alreadyRelocated = entry.alreadyRelocated,
                       .appleSigned = entry.appleSigned,
                       .running = entry.running};
  if (entry.lastUsed)
    facts.lastUsed = Clock::from_time_t(static_cast<std::time_t>(*entry.lastUsed));
  return facts;
}

ClassifierInput classifierInputFor(const AppEntry& entry, const InspectionSources& sources) {
  const std::filesystem::path bundle = entry.bundlePath;
  return {.app = catalogueFactsOf(entry),
          .bundleURL = bundle,
          .dockPins = sources.dockPins,
          .entitlementKeys = mainExecutableEntitlementKeys(bundle, sources.toolFallback),
          .loadCommands = scanBundleLoadPaths(bundle, sources.toolFallback)};
}

}  // namespace brimvale::apps
