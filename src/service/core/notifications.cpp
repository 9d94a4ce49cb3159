#include "service/core/notifications.h"

#include "common/base/best_effort.h"
#include "common/base/json_writer.h"
#include "common/base/text_formats.h"

namespace brimvale::service {

std::string noteQueueLine(const Note& n) {
  // The sound name is a plain word chosen by configuration; it is escaped too
  // so an odd configured value cannot break the queue line.
  return JsonObjectWriter()
      .string("title", n.title)
      .string("body", n.body)
      .string("sound", n.sound)
      .string("thread", n.thread)
      .string("severity", n.severity)
      .str();
}

void note(const StatePaths& paths, platform::Platform& platform, const Note& n) {
  bestEffort(appendNdjsonLine(paths.notificationsQueue, noteQueueLine(n)),
             DiagnosticsLog(paths.diagnosticsLog), "queueing a notification");
  if (platform.processes->isRunning(platform::kApplicationProcessName)) return;
  platform.notifier->notify(n.title, n.body, n.sound);
}

}  // namespace brimvale::service
