// Classifying one catalogue entry: its facts as the classifier takes them,
// with what only the bundle's binaries and the user's Dock can tell.
#pragma once

#include <set>
#include <string>

#include "apps/app_catalogue_entry.h"
#include "apps/app_classifier.h"
#include "apps/macho_reader_bundle.h"

namespace brimvale::apps {

// Read once per listing or inspection and shared by every app classified.
struct InspectionSources {
  std::set<std::string> dockPins;  // bundle identifiers pinned in the Dock
  MachOToolFallback toolFallback;  // for binaries the native reader cannot parse
};

[[nodiscard]] CatalogueFacts catalogueFactsOf(const AppEntry& entry);

// The entry with its main executable's entitlement keys and every scanned
// binary's load commands, judged against the entry's bundle path.
[[nodiscard]] ClassifierInput classifierInputFor(const AppEntry& entry,
                                                 const InspectionSources& sources);

}  // namespace brimvale::apps
