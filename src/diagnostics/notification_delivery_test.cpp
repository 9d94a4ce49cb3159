#include "diagnostics/notification_delivery.h"

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "platform/testing/recording_desktop.h"
#include "testing/temp_folder.h"

namespace brimvale::diagnostics {
namespace {
namespace fs = std::filesystem;
using brimvale::testing::TempFolder;
using platform::InterruptionLevel;
using platform::testing::DesktopRecord;
using platform::testing::RecordingDesktop;

struct Fixture {
  TempFolder home;
  StatePaths paths = StatePaths::forHome(home.path());
  DesktopRecord record;
  std::vector<std::string> log;
  platform::NotificationCenter centre{paths.state / "delivered-notifications.json",
                                      std::make_unique<RecordingDesktop>(record),
                                      [this](const std::string& l) { log.push_back(l); },
                                      [] { return std::time_t{1'700'000'000}; }};
  NotificationDelivery delivery{paths, centre, [] { return std::int64_t{1'700'000'000'123}; }};

  Fixture() { fs::create_directories(paths.state); }
  std::vector<std::string> titles() const {
    std::vector<std::string> out;
    for (const auto& n : centre.delivered()) out.push_back(n.request.title);
    return out;
  }
  std::vector<std::string> stateFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(paths.state)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST(NotificationDelivery, DrainAppliesEachLineInOrder) {
  const std::string warnA =
      R"({"title":"Low","body":"first","sound":"Funk","thread":"storage.warning","severity":"warn"})";
  const std::string warnB =
      R"({"title":"Lower","body":"second","sound":"","thread":"storage.warning","severity":"critical"})";
  const std::string info =
      R"({"title":"Drive back","body":"ok","sound":"Tink","thread":"","severity":""})";
  struct Case {
    const char* name;
    std::string queue;
    std::vector<std::string> delivered;
  } cases[] = {
      {"post then dismiss the same thread",
       warnA + "\n" + R"({"dismiss":"storage.warning"})" + "\n",
       {}},
      {"two posts on one thread keep the second", warnA + "\n" + warnB + "\n", {"Lower"}},
      {"an empty body is ignored",
       R"({"title":"T","body":""})"
       "\n",
       {}},
      {"a malformed line between good ones",
       info + "\n{\"title\":\"broken\n" + warnA + "\n[1,2]\n{\"title\":5,\"body\":\"x\"}\n",
       {"Drive back", "Low"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    ASSERT_TRUE(writeFileAtomically(f.paths.notificationsQueue, c.queue));
    f.delivery.drainQueue();
    EXPECT_EQ(f.titles(), c.delivered);
    // The batch is gone and writers find an empty queue.
    for (const auto& name : f.stateFiles())
      EXPECT_FALSE(name.starts_with("notifications.processed")) << name;
    EXPECT_EQ(*readFile(f.paths.notificationsQueue), "");
  }
}

TEST(NotificationDelivery, NoQueueFileLeavesNoBatchFile) {
  Fixture f;
  f.delivery.drainQueue();
  EXPECT_TRUE(f.stateFiles().empty());
  EXPECT_TRUE(f.record.shown.empty());
}

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

TEST(NotificationDelivery, RequestCarriesLevelSoundAndIdentifier) {
  struct Case {
    std::optional<std::string> severity, sound, thread, subtitle;
    InterruptionLevel level;
    std::string expectedSound, identifier, subtitleShown;
  } cases[] = {
      {"emergency", std::nullopt, "storage.warning", std::nullopt,
       InterruptionLevel::kTimeSensitive, "defaultCritical", "storage.warning", ""},
      {"critical", "Funk", "", "", InterruptionLevel::kTimeSensitive, "Funk.aiff", "fresh", ""},
      {"warn", "", std::nullopt, "Sub", InterruptionLevel::kActive, "default", "fresh", "Sub"},
      {std::nullopt, std::nullopt, std::nullopt, std::nullopt, InterruptionLevel::kPassive,
       "default", "fresh", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.severity.value_or("(none)"));
    NotificationPayload p;
    p.severity = c.severity;
    p.sound = c.sound;
    p.thread = c.thread;
    p.subtitle = c.subtitle;
    auto r = requestFor("T", "B", p, "fresh");
    EXPECT_EQ(r.level, c.level);
    EXPECT_EQ(r.sound, c.expectedSound);
    EXPECT_EQ(r.identifier, c.identifier);
    EXPECT_EQ(r.threadIdentifier, c.identifier == "fresh" ? "" : c.identifier);
    EXPECT_EQ(r.subtitle, c.subtitleShown);
  }
}

}  // namespace
}  // namespace brimvale::diagnostics
