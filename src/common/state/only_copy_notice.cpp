#include "common/state/only_copy_notice.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/base/best_effort.h"
#include "common/base/json_writer.h"
#include "common/base/text_formats.h"

namespace brimvale {

bool claimOnlyCopyNotice(const StatePaths& paths) {
  const std::filesystem::path record = paths.state / "only-copy-told";
  const int fd = open(record.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void queueOnlyCopyNotice(const StatePaths& paths) {
  JsonObjectWriter line;
  line.string("title", kOnlyCopyTitle).string("body", kOnlyCopyNotice).string("sound", "Tink");
  line.string("thread", kOnlyCopyThread).string("severity", "info");
  bestEffort(appendNdjsonLine(paths.notificationsQueue, line.str()),
             DiagnosticsLog(paths.diagnosticsLog), "queueing a notification");
}

}  // namespace brimvale
