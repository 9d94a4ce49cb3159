// A desktop for tests of notification delivery: records what was shown and
// withdrawn, hands out handles "1", "2", ... and can play "no session bus".
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/notification_center.h"

namespace brimvale::platform::testing {

struct DesktopRecord {
  std::vector<std::pair<std::string, std::string>> shown;  // title, replaced handle
  std::vector<std::string> withdrawn;
  bool available = true;
};

class RecordingDesktop final : public DesktopNotifier {
 public:
  explicit RecordingDesktop(DesktopRecord& record) : record_(record) {}
  Result<std::string> show(const NotificationRequest& r, const std::string& replacing) override {
    if (!record_.available) return fail(Errc::kUnavailable, "no desktop session bus");
    record_.shown.emplace_back(r.title, replacing);
    return std::to_string(++next_);
  }
  void withdraw(const std::string& handle) override { record_.withdrawn.push_back(handle); }

 private:
  DesktopRecord& record_;
  int next_ = 0;
};

}  // namespace brimvale::platform::testing
