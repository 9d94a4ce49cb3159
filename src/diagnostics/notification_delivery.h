// Notification delivery: drains the queue the service appends to
// (state/notifications.queue) into the application's notification centre;
// the application's own components post through the same routine.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/uuid.h"
#include "common/state/paths.h"
#include "platform/notification_center.h"

namespace brimvale::diagnostics {

// One queue line. Every field is optional: a posting line carries title and
// body (and maybe sound, subtitle, thread, severity); a withdrawing line
// carries only dismiss (a thread).
struct NotificationPayload {
  std::optional<std::string> title;
  std::optional<std::string> body;
  std::optional<std::string> sound;  // system sound name without extension
  std::optional<std::string> subtitle;
  std::optional<std::string> thread;
  std::optional<std::string> severity;  // info, warn, critical, emergency
  std::optional<std::string> dismiss;
};

// A JSON object whose known keys, when present, hold strings (null counts as
// absent); unknown keys are ignored. Anything else does not decode.
[[nodiscard]] std::optional<NotificationPayload> decodePayload(std::string_view line);

// The request post() hands to the centre: subtitle when not empty; level
// time-sensitive for emergency/critical, active for warn, else passive; sound
// "<sound>.aiff" when named, else the critical default for
// emergency/critical, else the default; identifier the thread when not
// empty, else `freshId`.
[[nodiscard]] platform::NotificationRequest requestFor(const std::string& title,
                                                       const std::string& body,
                                                       const NotificationPayload& payload,
                                                       const std::string& freshId);

// Runs on the loop thread; not thread-safe.
class NotificationDelivery {
 public:
  using MillisClock = std::function<std::int64_t()>;  // ms since the epoch

  NotificationDelivery(StatePaths paths, platform::NotificationCenter& centre,
                       MillisClock now = systemMillis);

  // Hands the queue over by renaming it to notifications.processed.<ms>,
  // leaves an empty queue for writers, applies each decodable line in order
  // and deletes the batch. No queue file: nothing happens. A line appended
  // while this runs lands in the new queue and is applied by the next drain.
  void drainQueue();
  // Delivers at once; with a thread, the notification replaces the one
  // delivered under that thread.
  void post(const std::string& title, const std::string& body,
            const NotificationPayload& payload = {});
  // Withdraws the notification of `thread`; an empty thread does nothing.
  void dismiss(const std::string& thread);

  [[nodiscard]] platform::NotificationCenter& centre() { return centre_; }

  static std::int64_t systemMillis();

 private:
  StatePaths paths_;
  platform::NotificationCenter& centre_;
  MillisClock now_;
};

}  // namespace brimvale::diagnostics
