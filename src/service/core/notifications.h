// The service's way to reach the user: a line in the notification queue that
// the application drains, or, while the application is not running, a direct
// notification through the platform.
#pragma once

#include <string>

#include "common/state/paths.h"
#include "platform/platform.h"

namespace brimvale::service {

struct Note {
  std::string title;
  std::string body;
  std::string sound = "Tink";
  std::string thread;    // a newer note in the same thread replaces the older
  std::string severity;  // "", info, warn, critical or emergency
};

// The queue line: {"title":..,"body":..,"sound":..,"thread":..,"severity":..}
[[nodiscard]] std::string noteQueueLine(const Note& note);

// Appends the note to the queue; when the application is not running, also
// shows it directly. Failures are ignored.
void note(const StatePaths& paths, platform::Platform& platform, const Note& note);

}  // namespace brimvale::service
