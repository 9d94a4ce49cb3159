#include "app/cli/notifications_entry.h"

#include "app/cli/json_option.h"
#include "app/core/state_json.h"
#include "common/state/delivered_notifications.h"
#include "platform/notification_center.h"

namespace brimvale::app {
namespace {

struct NotificationsOptions {
  bool json = false;
};

void options(CLI::App& sub, NotificationsOptions& o) { jsonOption(sub, o.json); }

int notifications(CommandContext& c, NotificationsOptions& o) {
  auto delivered =
      platform::readDeliveredNotifications(c.paths.state / kDeliveredNotificationsFile);
  if (!delivered) {
    c.err << delivered.error().message() << "\n";
    return 1;
  }
  if (o.json) {
    c.out << notificationsJson(*delivered);
    return 0;
  }
  if (delivered->empty()) {
    c.out << "No notifications are showing.\n";
    return 0;
  }
  for (const auto& n : *delivered) {
    c.out << n.request.title << "\n";
    if (!n.request.subtitle.empty()) c.out << "  " << n.request.subtitle << "\n";
    c.out << "  " << n.request.body << "\n"
          << "  id " << n.request.identifier << " · "
          << platform::interruptionLevelName(n.request.level) << " · sound " << n.request.sound
          << " · delivered " << n.deliveredAt << "\n";
  }
  return 0;
}

}  // namespace

CommandEntry notificationsEntry() {
  return commandEntry<NotificationsOptions>("notifications", "the notifications currently showing",
                                            options, notifications);
}

}  // namespace brimvale::app
