#include "diagnostics/notification_delivery.h"

#include <array>
#include <cstdio>
#include <random>

#include <nlohmann/json.hpp>

#include "common/base/best_effort.h"
#include "common/base/file_io.h"
#include "common/base/text_formats.h"

namespace brimvale::diagnostics {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool isCritical(const std::optional<std::string>& severity) {
  return severity == "emergency" || severity == "critical";
}

bool present(const std::optional<std::string>& v) { return v && !v->empty(); }

}  // namespace

std::optional<NotificationPayload> decodePayload(std::string_view line) {
  json j = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  NotificationPayload p;
  const std::array fields{
      std::pair{"title", &p.title},     std::pair{"body", &p.body},
      std::pair{"sound", &p.sound},     std::pair{"subtitle", &p.subtitle},
      std::pair{"thread", &p.thread},   std::pair{"severity", &p.severity},
      std::pair{"dismiss", &p.dismiss},
  };
  for (const auto& [key, field] : fields) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) continue;
    if (!it->is_string()) return std::nullopt;
    *field = it->get<std::string>();
  }
  return p;
}

platform::NotificationRequest requestFor(const std::string& title, const std::string& body,
                                         const NotificationPayload& payload,
                                         const std::string& freshId) {
  platform::NotificationRequest r;
  r.title = title;
  r.body = body;
  if (present(payload.subtitle)) r.subtitle = *payload.subtitle;
  if (isCritical(payload.severity)) {
    r.level = platform::InterruptionLevel::kTimeSensitive;
  } else if (payload.severity == "warn") {
    r.level = platform::InterruptionLevel::kActive;
  }
  if (present(payload.sound)) {
    r.sound = *payload.sound + ".aiff";
  } else if (isCritical(payload.severity)) {
    r.sound = platform::kDefaultCriticalSound;
  }
  if (present(payload.thread)) {
    r.threadIdentifier = *payload.thread;
    r.identifier = *payload.thread;
  } else {
    r.identifier = freshId;
  }
  return r;
}

NotificationDelivery::NotificationDelivery(StatePaths paths, platform::NotificationCenter& centre,
                                           MillisClock now)
    : paths_(std::move(paths)), centre_(centre), now_(std::move(now)) {}

std::int64_t NotificationDelivery::systemMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void NotificationDelivery::drainQueue() {
  const fs::path batch = paths_.state / ("notifications.processed." + std::to_string(now_()));
  std::error_code ec;
  fs::rename(paths_.notificationsQueue, batch, ec);
  if (ec) return;
  // touchFile never truncates: a writer that already recreated the queue
  // after the rename keeps its line.
  bestEffort(touchFile(paths_.notificationsQueue), DiagnosticsLog(paths_.diagnosticsLog),
             "recreating the notification queue");
  auto text = readFile(batch);
  // An unreadable batch stays on disk rather than being lost.
  if (!text) return;
  {
    for (std::string_view line : splitLines(*text)) {
      if (line.empty()) continue;
      auto payload = decodePayload(line);
      if (!payload) continue;
      if (present(payload->dismiss)) {
        dismiss(*payload->dismiss);
      } else if (present(payload->title) && present(payload->body)) {
        post(*payload->title, *payload->body, *payload);
      }
    }
  }
  fs::remove(batch, ec);
}

void NotificationDelivery::post(const std::string& title, const std::string& body,
                                const NotificationPayload& payload) {
  centre_.add(requestFor(title, body, payload, newUuid()));
}

void NotificationDelivery::dismiss(const std::string& thread) {
  if (thread.empty()) return;
  centre_.remove(thread);
}

}  // namespace brimvale::diagnostics
