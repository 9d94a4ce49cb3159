#include "diagnostics/notification_delivery.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::diagnostics {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;

// A desktop that plays the service appending a line while a drain is
// delivering: the line must wait for the next drain, not be lost.
class AppendingDesktop final : public platform::DesktopNotifier {
 public:
  AppendingDesktop(fs::path queue, std::vector<std::string>& shown)
      : queue_(std::move(queue)), shown_(shown) {}
  Result<std::string> show(const platform::NotificationRequest& r, const std::string&) override {
    shown_.push_back(r.title);
    if (r.title == "first") {
      (void)appendToFile(queue_, R"({"title":"late","body":"appended mid-drain"})"
                                 "\n");
    }
    return std::string();
  }
  void withdraw(const std::string&) override {}

 private:
  fs::path queue_;
  std::vector<std::string>& shown_;
};

TEST(NotificationDelivery, LineAppendedDuringADrainIsDeliveredByTheNext) {
  TempFolder home;
  StatePaths paths = StatePaths::forHome(home.path());
  fs::create_directories(paths.state);
  std::vector<std::string> shown;
  platform::NotificationCenter centre(
      paths.state / "delivered.json",
      std::make_unique<AppendingDesktop>(paths.notificationsQueue, shown),
      [](const std::string&) {}, [] { return std::time_t{0}; });
  std::int64_t ms = 1000;
  NotificationDelivery delivery(paths, centre, [&] { return ms++; });
  ASSERT_TRUE(writeFileAtomically(paths.notificationsQueue, R"({"title":"first","body":"b"})"
                                                            "\n"));
  delivery.drainQueue();
  EXPECT_EQ(shown, std::vector<std::string>{"first"});
  delivery.drainQueue();
  EXPECT_EQ(shown, (std::vector<std::string>{"first", "late"}));
  EXPECT_EQ(centre.delivered().size(), 2u);
}

}  // namespace
}  // namespace brimvale::diagnostics
