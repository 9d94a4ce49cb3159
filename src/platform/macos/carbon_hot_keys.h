// macOS system-wide hot keys through Carbon's RegisterEventHotKey; built on
// macOS only. Everything that can be worked out without Carbon is in
// carbon_hot_key_codes.h.
#pragma once

#include <memory>

#include "platform/hot_keys.h"
#include "platform/notification_center.h"

namespace brimvale::platform {

// Presses arrive on the main run loop's thread. A refused registration is
// logged with globalHotKeyFailure and its OSStatus returned.
[[nodiscard]] std::unique_ptr<HotKeys> makeCarbonHotKeys(LogSink log);

}  // namespace brimvale::platform
