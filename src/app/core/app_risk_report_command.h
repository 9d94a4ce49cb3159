// `brimvale apps inspect PATH`: everything the risk classification found in
// one app bundle (tier, reason, updater, privacy permissions, load paths
// that pin its location, launchd jobs pointing into it); or the same as JSON.
#pragma once

#include <string>

#include "app/core/apps_command.h"

namespace brimvale::app {

// The bundle at `path` (in one of the application folders or anywhere
// else), classified and described. 1 with a sentence on `host.err` when
// nothing there is an application bundle; nothing is changed either way
// (beyond keeping the measured facts for the next listing).
int appsInspectCommand(AppsCommandHost& host, const std::string& path, bool json);

// The JSON document of docs/json-schemas.md, pretty-printed with sorted keys.
[[nodiscard]] std::string inspectionJson(const ClassifiedApp& app);

// The classification in plain words, one finding per line.
[[nodiscard]] std::string inspectionText(const ClassifiedApp& app);

}  // namespace brimvale::app
