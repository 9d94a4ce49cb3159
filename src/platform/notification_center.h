// The application's notification centre: delivered notifications, one per
// identifier, kept in a file other commands read and mirrored to the desktop
// (freedesktop notifications on Linux, the notification tool on macOS).
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/base/error.h"
#include "common/base/raw_names.h"
#include "common/base/timestamps.h"
#include "platform/platform.h"

namespace brimvale::platform {

// How strongly a banner may interrupt. Persisted by raw string (see
// interruptionLevelName); never renumber.
enum class InterruptionLevel { kPassive, kActive, kTimeSensitive };
inline constexpr std::array<RawName<InterruptionLevel>, 3> kInterruptionLevelNames{{
    {InterruptionLevel::kPassive, "passive"},
    {InterruptionLevel::kActive, "active"},
    {InterruptionLevel::kTimeSensitive, "timeSensitive"},
}};

[[nodiscard]] std::string_view interruptionLevelName(InterruptionLevel level);
[[nodiscard]] std::optional<InterruptionLevel> interruptionLevelFromName(std::string_view name);

// The sound of a banner: "default", "defaultCritical" or a sound file name
// such as "Funk.aiff".
inline constexpr std::string_view kDefaultSound = "default";
inline constexpr std::string_view kDefaultCriticalSound = "defaultCritical";

struct NotificationRequest {
  std::string identifier;        // never empty
  std::string threadIdentifier;  // may be empty
  std::string title;
  std::string subtitle;  // may be empty
  std::string body;
  InterruptionLevel level = InterruptionLevel::kPassive;
  std::string sound{kDefaultSound};

  bool operator==(const NotificationRequest&) const = default;
};

struct DeliveredNotification {
  NotificationRequest request;
  std::string deliveredAt;    // ISO-8601 UTC
  std::string desktopHandle;  // the desktop's id for the banner; empty when none
};

// The desktop side: shows and withdraws banners.
class DesktopNotifier {
 public:
  virtual ~DesktopNotifier() = default;
  // Shows the banner, replacing the banner `replacing` (a handle this
  // notifier returned earlier) in place when not empty. Gives the new
  // banner's handle ("" when the desktop gives none), or an error saying why
  // nothing was shown (no session bus, tool failed).
  [[nodiscard]] virtual Result<std::string> show(const NotificationRequest& request,
                                                 const std::string& replacing) = 0;
  // Best effort; a banner already closed by the user is not an error.
  virtual void withdraw(const std::string& handle) = 0;
};

// Linux: org.freedesktop.Notifications on the session bus through busctl
// (Notify with replaces_id, CloseNotification). Interruption levels map to the
// urgency hint (low, normal, critical), sounds to the sound-name hint. With no
// session bus (DBUS_SESSION_BUS_ADDRESS unset and no {runtimeDir}/bus) show()
// fails with Errc::kUnavailable without running anything.
[[nodiscard]] std::unique_ptr<DesktopNotifier> makeFreedesktopNotifier(std::string busctl,
                                                                       std::string runtimeDir,
                                                                       ProcessRunner run);

// macOS: the direct notification tool call (no subtitle, no handle: a banner
// cannot be replaced or withdrawn from outside, so withdraw() does nothing and
// the model alone keeps the one-per-identifier rule).
[[nodiscard]] std::unique_ptr<DesktopNotifier> makeToolNotifier(DirectNotifier& direct);

// The handle in busctl's reply to Notify ("u 7"), if any.
[[nodiscard]] std::optional<std::string> parseBusctlNotifyReply(std::string_view output);

using LogSink = std::function<void(const std::string&)>;

// Not thread-safe: the run loop owns it.
class NotificationCenter {
 public:
  // Loads the model a previous run left in `modelFile` (an undecodable file
  // starts an empty model and is replaced at the first change).
  NotificationCenter(std::filesystem::path modelFile, std::unique_ptr<DesktopNotifier> desktop,
                     LogSink log, WallClock clock);

  // Delivers at once. A delivered notification with the same identifier is
  // replaced (in place on the desktop). A desktop that cannot show it is
  // logged; the notification still counts as delivered.
  void add(const NotificationRequest& request);
  // Removes and withdraws every delivered notification with this identifier.
  // Nothing is ever pending: requests are delivered immediately.
  void remove(const std::string& identifier);
  // Removes and withdraws every delivered notification that matches.
  void removeIf(const std::function<bool(const DeliveredNotification&)>& matches);

  [[nodiscard]] const std::vector<DeliveredNotification>& delivered() const { return delivered_; }

 private:
  void save();

  std::filesystem::path modelFile_;
  std::unique_ptr<DesktopNotifier> desktop_;
  LogSink log_;
  WallClock clock_;
  std::vector<DeliveredNotification> delivered_;
};

// The model file written by the centre of a running (or the last) application.
// A missing file is an empty list.
[[nodiscard]] Result<std::vector<DeliveredNotification>> readDeliveredNotifications(
    const std::filesystem::path& modelFile);

}  // namespace brimvale::platform
