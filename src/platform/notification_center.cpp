#include "platform/notification_center.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "common/base/file_calls.h"
#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/text_formats.h"

namespace brimvale::platform {
namespace {

using nlohmann::json;

constexpr std::chrono::milliseconds kBusDeadline{3000};

json toJson(const DeliveredNotification& n) {
  return {{"identifier", n.request.identifier},
          {"threadIdentifier", n.request.threadIdentifier},
          {"title", n.request.title},
          {"subtitle", n.request.subtitle},
          {"body", n.request.body},
          {"interruptionLevel", interruptionLevelName(n.request.level)},
          {"sound", n.request.sound},
          {"deliveredAt", n.deliveredAt},
          {"desktopHandle", n.desktopHandle}};
}

std::string textAt(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<DeliveredNotification> decodeModel(std::string_view text) {
  std::vector<DeliveredNotification> out;
  json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_array()) return out;
  for (const json& j : doc) {
    if (!j.is_object() || textAt(j, "identifier").empty()) continue;
    DeliveredNotification n;
    n.request.identifier = textAt(j, "identifier");
    n.request.threadIdentifier = textAt(j, "threadIdentifier");
    n.request.title = textAt(j, "title");
    n.request.subtitle = textAt(j, "subtitle");
    n.request.body = textAt(j, "body");
    n.request.level = interruptionLevelFromName(textAt(j, "interruptionLevel"))
                          .value_or(InterruptionLevel::kPassive);
    n.request.sound = textAt(j, "sound");
    if (n.request.sound.empty()) n.request.sound = kDefaultSound;
    n.deliveredAt = textAt(j, "deliveredAt");
    n.desktopHandle = textAt(j, "desktopHandle");
    out.push_back(std::move(n));
  }
  return out;
}

bool hasSessionBus(const std::string& runtimeDir) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  return access((runtimeDir + "/bus").c_str(), F_OK) == 0;
}

class FreedesktopNotifier final : public DesktopNotifier {
 public:
  FreedesktopNotifier(std::string busctl, std::string runtimeDir, ProcessRunner run)
      : busctl_(std::move(busctl)), runtimeDir_(std::move(runtimeDir)), run_(std::move(run)) {}

  Result<std::string> show(const NotificationRequest& r, const std::string& replacing) override {
    if (!hasSessionBus(runtimeDir_)) return fail(Errc::kUnavailable, "no desktop session bus");
    // The desktop has no subtitle line; it leads the body instead.
    std::string body = r.subtitle.empty() ? r.body : r.subtitle + "\n" + r.body;
    std::string urgency = r.level == InterruptionLevel::kTimeSensitive ? "2"
                          : r.level == InterruptionLevel::kActive      ? "1"
                                                                       : "0";
    std::string soundName = r.sound == kDefaultSound           ? "message-new-instant"
                            : r.sound == kDefaultCriticalSound ? "dialog-warning"
                                                               : r.sound;
    if (soundName.ends_with(".aiff")) soundName.resize(soundName.size() - 5);
    ProcessResult result = call({"Notify", "susssasa{sv}i", "Brimvale",
                                 replacing.empty() ? "0" : replacing, "", r.title, body, "0", "2",
                                 "urgency", "y", urgency, "sound-name", "s", soundName, "-1"});
    if (!result.succeeded()) {
      return fail(Errc::kToolFailed, "busctl " + result.describe() + ": " + result.err);
    }
    auto handle = parseBusctlNotifyReply(result.out);
    if (!handle) return fail(Errc::kParse, "unexpected Notify reply: " + result.out);
    return *handle;
  }

  void withdraw(const std::string& handle) override {
    if (handle.empty() || !hasSessionBus(runtimeDir_)) return;
    (void)call({"CloseNotification", "u", handle});
  }

 private:
  ProcessResult call(std::vector<std::string> methodAndArgs) {
    // "--" keeps a title that starts with '-' (and the -1 timeout) from being
    // read as an option.
    std::vector<std::string> args = {"--user",
                                     "--",
                                     "call",
                                     "org.freedesktop.Notifications",
                                     "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications"};
    args.insert(args.end(), methodAndArgs.begin(), methodAndArgs.end());
    ProcessInvocation invocation{
        .path = busctl_, .args = std::move(args), .deadline = kBusDeadline};
    if (const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS"); !a || !*a) {
      invocation.envAdditions.emplace_back("DBUS_SESSION_BUS_ADDRESS",
                                           "unix:path=" + runtimeDir_ + "/bus");
    }
    return run_(invocation);
  }

  std::string busctl_;
  std::string runtimeDir_;
  ProcessRunner run_;
};

class ToolNotifier final : public DesktopNotifier {
 public:
  explicit ToolNotifier(DirectNotifier& direct) : direct_(direct) {}

  Result<std::string> show(const NotificationRequest& r, const std::string&) override {
    std::string sound = r.sound;
    if (sound.ends_with(".aiff")) {
      sound.resize(sound.size() - 5);
    } else {
      sound = r.sound == kDefaultCriticalSound ? "Sosumi" : "default";
    }
    direct_.notify(r.title, r.subtitle.empty() ? r.body : r.subtitle + " — " + r.body, sound);
    return std::string();
  }
  void withdraw(const std::string&) override {}

 private:
  DirectNotifier& direct_;
};

}  // namespace

std::string_view interruptionLevelName(InterruptionLevel level) {
  return rawNameOf(kInterruptionLevelNames, level);
}

std::optional<InterruptionLevel> interruptionLevelFromName(std::string_view name) {
  return valueOfRaw(kInterruptionLevelNames, name);
}

std::optional<std::string> parseBusctlNotifyReply(std::string_view output) {
  std::string_view line = trimBlanks(output.substr(0, output.find('\n')));
  if (!line.starts_with("u ")) return std::nullopt;
  std::string_view digits = trimBlanks(line.substr(2));
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(digits);
}

std::unique_ptr<DesktopNotifier> makeFreedesktopNotifier(std::string busctl, std::string runtimeDir,
                                                         ProcessRunner run) {
  return std::make_unique<FreedesktopNotifier>(std::move(busctl), std::move(runtimeDir),
                                               std::move(run));
}

std::unique_ptr<DesktopNotifier> makeToolNotifier(DirectNotifier& direct) {
  return std::make_unique<ToolNotifier>(direct);
}

NotificationCenter::NotificationCenter(std::filesystem::path modelFile,
                                       std::unique_ptr<DesktopNotifier> desktop, LogSink log,
                                       WallClock clock)
    : modelFile_(std::move(modelFile)),
      desktop_(std::move(desktop)),
      log_(std::move(log)),
      clock_(std::move(clock)) {
  if (auto loaded = readDeliveredNotifications(modelFile_)) delivered_ = std::move(*loaded);
}

void NotificationCenter::add(const NotificationRequest& request) {
  auto same = std::find_if(delivered_.begin(), delivered_.end(), [&](const auto& n) {
    return n.request.identifier == request.identifier;
  });
  std::string replacing = same != delivered_.end() ? same->desktopHandle : std::string();
  DeliveredNotification entry{request, isots(clock_()), {}};
  if (auto handle = desktop_->show(request, replacing)) {
    entry.desktopHandle = *handle;
  } else {
    log_("[Notifications] kept without a desktop banner (" + handle.error().detail +
         "): " + request.title);
  }
  if (same != delivered_.end()) {
    *same = std::move(entry);
  } else {
    delivered_.push_back(std::move(entry));
  }
  save();
}

void NotificationCenter::remove(const std::string& identifier) {
  removeIf([&](const DeliveredNotification& n) { return n.request.identifier == identifier; });
}

void NotificationCenter::removeIf(
    const std::function<bool(const DeliveredNotification&)>& matches) {
  auto first = std::stable_partition(delivered_.begin(), delivered_.end(),
                                     [&](const auto& n) { return !matches(n); });
  if (first == delivered_.end()) return;
  for (auto it = first; it != delivered_.end(); ++it) desktop_->withdraw(it->desktopHandle);
  delivered_.erase(first, delivered_.end());
  save();
}

void NotificationCenter::save() {
  json doc = json::array();
  for (const auto& n : delivered_) doc.push_back(toJson(n));
  if (auto written = writeFileAtomically(modelFile_, doc.dump(2) + "\n"); !written) {
    log_("[Notifications] could not save the delivered list: " + written.error().detail);
  }
}

Result<std::vector<DeliveredNotification>> readDeliveredNotifications(
    const std::filesystem::path& modelFile) {
  if (!pathExists(modelFile).value_or(false)) return std::vector<DeliveredNotification>{};
  auto text = readFile(modelFile);
  if (!text) return std::unexpected(text.error());
  return decodeModel(*text);
}

}  // namespace brimvale::platform
