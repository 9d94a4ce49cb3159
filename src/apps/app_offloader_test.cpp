#include "apps/app_offloader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "common/base/file_io.h"
#include "testing/base/failing_file_operations.h"
#include "testing/base/temp_folder.h"
#include "testing/base/tmpfs_drive.h"
#include "testing/platform/fake_app_relocation_tools.h"

namespace brimvale::apps {
namespace {

namespace fs = std::filesystem;

// Everything a restore must bring back, per entry: kind, mode, time, content or target.
// Without the root's own facts for a shared parent folder, whose time changes
// when anything in it comes or goes.
std::map<std::string, std::string> snapshot(const fs::path& root, bool withRoot = true) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(root, ec))) return out;
  std::vector<fs::path> entries;
  if (withRoot) entries.push_back(root);
  if (fs::is_directory(fs::symlink_status(root))) {
    for (const auto& e : fs::recursive_directory_iterator(root)) entries.push_back(e.path());
  }
  for (const auto& p : entries) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    std::string facts = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode)) facts += " " + *readFile(p);
    if (S_ISLNK(st.st_mode)) facts += " -> " + fs::read_symlink(p).string();
    out[p.lexically_relative(root).string()] = facts;
  }
  return out;
}

class OffloaderFixture : public ::testing::Test {
 public:
  void SetUp() override {
    BRIMVALE_REQUIRE_DRIVE(drive_);
    layOut();
    before_ = internalDisk();
  }
  // The app and its data as a user has them; run again, it puts them back.
  void layOut() {
    for (const auto& rel : {"Applications/Notes.app", "home/.config/org.example.notes",
                            "home/.local/share/Notes", "home/.cache/org.example.notes"}) {
      fs::remove_all(tmp_ / rel);
    }
    tmp_.file("Applications/Notes.app/Contents/Info.plist", "<plist/>");
    const auto exe = tmp_.file("Applications/Notes.app/Contents/MacOS/notes",
                               "\x7f"
                               "ELF body");
    fs::permissions(exe, fs::perms(0755));
    fs::create_directory_symlink("MacOS", tmp_ / "Applications/Notes.app/Contents/Current");
    tmp_.file("home/.config/org.example.notes/settings.json", "{\"theme\":\"dark\"}");
    const auto db = tmp_.file("home/.local/share/Notes/notes.db", std::string(70000, 'n'));
    fs::permissions(db, fs::perms(0600));
    tmp_.file("home/.cache/org.example.notes/c", "cache");
    // Near misses that are not this app's: a longer name and the parent folder's other files.
    tmp_.file("home/.config/org.example.notes-helper/x", "helper");
    tmp_.file("home/.config/other.conf", "other");
    // Odd times, so that a copy which loses them is caught.
    for (const auto& p : {exe, db}) {
      const struct timespec times[2] = {{1'600'000'000, 5}, {1'600'000'000, 5}};
      ::utimensat(AT_FDCWD, p.c_str(), times, 0);
    }
  }

  AppOffloader& offloader() {
    if (!offloader_) offloader_.emplace(setup());
    return *offloader_;
  }
  AppOffloaderSetup setup() {
    AppOffloaderSetup s;
    s.home = home_;
    s.applicationsRoot = tmp_ / "Applications";
    s.dataPlaces = {{".config", "", true, true, false},
                    {".local/share", "", true, true, false},
                    {".cache", "", true, true, false},
                    {"Library/Containers", "", true, false, true}};
    s.workingFolder = [this] { return driveMounted_ ? std::optional(working_) : std::nullopt; };
    s.freeBytes = [this](const fs::path&) { return free_; };
    s.quitApp = [this](const AppEntry& app) { return quit_(app); };
    s.tools = &tools_;
    s.files = &files_;
    s.records = &store_;
    s.trash = {home_ / ".local/share/Trash", 1000};
    s.log = [this](const std::string& line) { log_.push_back(line); };
    s.clock = [] { return std::time_t{1'800'000'000}; };
    return s;
  }

  AppEntry notes() const {
    AppEntry app;
    app.displayName = "Notes";
    app.bundlePath = (tmp_ / "Applications/Notes.app").string();
    app.bundleIdentifier = "org.example.notes";
    return app;
  }

  // The app's places on the internal disk, and the neighbours that must never change.
  std::map<std::string, std::map<std::string, std::string>> internalDisk() const {
    return {{"bundle", snapshot(tmp_ / "Applications/Notes.app")},
            {"config", snapshot(home_ / ".config", false)},
            {"share", snapshot(home_ / ".local/share/Notes")},
            {"cache", snapshot(home_ / ".cache", false)}};
  }

  brimvale::testing::TempFolder tmp_{"offloader"};
  fs::path home_ = tmp_ / "home";
  // The drive the working folder is on: a mount, as the offloader checks.
  brimvale::testing::TmpfsMount drive_{tmp_ / "drive", "64m", "0755"};
  fs::path working_ = tmp_.folder("drive/BRIM-test");
  bool driveMounted_ = true;
  std::optional<std::uint64_t> free_ = 1ULL << 40;
  std::function<Result<void>(const AppEntry&)> quit_ = [](const AppEntry&) -> Result<void> {
    return {};
  };
  platform::testing::FakeAppRelocationTools tools_;
  brimvale::testing::FailingFileOperations files_;
  OffloadRecordStore store_{home_ / ".brimvale/state/offloads", {}};
  std::vector<std::string> log_;
  std::map<std::string, std::map<std::string, std::string>> before_;
  std::optional<AppOffloader> offloader_;
};

TEST_F(OffloaderFixture, RestoreRefusesAndChangesNothing) {
  struct Case {
    std::string name;
    std::function<void(OffloaderFixture&, const OffloadRecord&)> arrange;
    std::string message;
  };
  const std::string config = (home_ / ".config/org.example.notes").string();
  const std::vector<Case> cases = {
      {"data present",
       [](OffloaderFixture& f, const OffloadRecord&) {
         f.tmp_.file("home/.config/org.example.notes/settings.json", "new install");
       },
       "\u2014 some of its data is already present at " + config +
           ", which would be overwritten. Nothing was changed."},
      {"drive away", [](OffloaderFixture& f, const OffloadRecord&) { f.driveMounted_ = false; },
       "Your fast drive isn\u2019t connected. Reconnect it and try again."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    offloader_.reset();
    driveMounted_ = true;
    free_ = 1ULL << 40;
    ASSERT_TRUE(offloader().offload(notes())) << *offloader().lastError();
    const auto record = offloader().records().back();
    c.arrange(*this, record);
    const auto disk = internalDisk();
    const auto archive = snapshot(record.archiveDir);

    ASSERT_FALSE(offloader().restore(record.id));
    ASSERT_TRUE(offloader().lastError());
    EXPECT_TRUE(offloader().lastError()->starts_with("Couldn\u2019t restore \u201cNotes\u201d: "));
    EXPECT_NE(offloader().lastError()->find(c.message), std::string::npos)
        << *offloader().lastError();
    EXPECT_EQ(internalDisk(), disk);
    EXPECT_EQ(snapshot(record.archiveDir), archive);
    EXPECT_TRUE(std::ranges::any_of(store_.loadAll(), [&](const OffloadRecord& r) {
      return r.id == record.id;
    })) << "the record is kept";
    layOut();
  }
}

// Given a copy that fails, one damaged on the way, or an app that writes its
// data on every round, the originals are removed only once the archive
// matches them, and otherwise stay as they are.
TEST_F(OffloaderFixture, OriginalsGoOnlyOnceTheArchiveMatchesThem) {
  struct Case {
    std::string name;
    std::function<void(OffloaderFixture&)> arrange;
    std::string error;     // empty: the offload succeeds
    bool recorded = true;  // whether the offload leaves a record
  };
  const fs::path db = home_ / ".local/share/Notes/notes.db";
  const std::vector<Case> cases = {
      {"copy tool fails", [](OffloaderFixture& f) { f.tools_.failing = {"ditto-offload"}; },
       "Couldn\u2019t offload \u201cNotes\u201d: Some of this app\u2019s files couldn\u2019t be "
       "copied completely, so nothing was changed and your data is left untouched."},
      {"copy damaged on the way",
       [](OffloaderFixture& f) {
         f.tools_.afterCopy = [](const std::string& to) {
           if (to.ends_with("-Notes")) std::ofstream(fs::path(to) / "notes.db") << "short";
         };
       },
       ""},
      {"the app writes on every round",
       [db](OffloaderFixture& f) {
         f.tools_.afterCopy = [db, n = 0](const std::string&) mutable {
           std::ofstream(db, std::ios::app) << "entry " << ++n << "\n";
         };
       },
       "Couldn\u2019t offload \u201cNotes\u201d: These files kept changing while they were "
       "copied, so nothing was changed: " +
           db.string() + ". Quit the app and try again."},
      {"no room on the drive", [](OffloaderFixture& f) { f.free_ = 1; },
       "Couldn\u2019t offload \u201cNotes\u201d: There isn\u2019t enough free space", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    offloader_.reset();
    tools_ = {};
    layOut();
    before_ = internalDisk();
    free_ = 1ULL << 40;
    c.arrange(*this);
    const auto recordsBefore = store_.loadAll().size();
    const bool offloaded = offloader().offload(notes()).has_value();
    EXPECT_EQ(offloaded, c.error.empty()) << offloader().lastError().value_or("");
    if (offloaded) {
      tools_.afterCopy = {};
      const auto done =
          std::ranges::find(offloader().records(), OffloadPhase::kDone, &OffloadRecord::phase);
      ASSERT_NE(done, offloader().records().end());
      const std::string id = done->id;
      ASSERT_TRUE(offloader().restore(id)) << *offloader().lastError();
      EXPECT_EQ(internalDisk(), before_);
      continue;
    }
    EXPECT_TRUE(offloader().lastError()->starts_with(c.error)) << *offloader().lastError();
    const auto now = internalDisk();
    for (const auto& place : {"bundle", "config", "share", "cache"}) {
      EXPECT_FALSE(now.at(place).empty()) << place;
    }
    if (c.name == "copy tool fails") {
      EXPECT_EQ(now, before_);
    }
    EXPECT_EQ(store_.loadAll().size(), recordsBefore + (c.recorded ? 1 : 0));
    for (const auto& r : store_.loadAll()) EXPECT_EQ(r.phase, OffloadPhase::kFailed);
  }
}

TEST_F(OffloaderFixture, AdministratorRemovalOnlyUnderTheApplicationFolders) {
  struct Case {
    std::string name;
    std::string folder;  // where the bundle lies, under the temporary folder
    platform::PrivilegedOutcome answer;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"prompt cancelled", "Applications", platform::PrivilegedOutcome::kCancelled,
       "and needs administrator access to move, but the password prompt was cancelled"},
      {"outside the allowed folders", "Elsewhere", platform::PrivilegedOutcome::kSuccess,
       "\u201cBob's Notes\u201d can\u2019t be removed (it may need administrator access), so the "
       "operation was cancelled before changing anything."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    offloader_.reset();
    tools_ = {};
    const auto bundle = tmp_.file(c.folder + "/Bob's Notes.app/Contents/Info.plist", "<plist/>")
                            .parent_path()
                            .parent_path();
    // The user may not remove it (as root, only an injected failure says so).
    files_.failFirst(brimvale::testing::FileOp::kUnlinkAt, "Info.plist", EACCES);
    tools_.privileged = [&](const std::string&) {
      if (c.answer == platform::PrivilegedOutcome::kSuccess) fs::remove_all(bundle);
      return platform::PrivilegedResult{c.answer, {}};
    };
    auto app = notes();
    app.displayName = "Bob's Notes";
    app.bundlePath = bundle.string();
    ASSERT_FALSE(offloader().offload(app));
    EXPECT_NE(offloader().lastError()->find(c.error), std::string::npos)
        << *offloader().lastError();
    EXPECT_TRUE(fs::exists(bundle / "Contents/Info.plist"));
    EXPECT_TRUE(fs::exists(home_ / ".config/org.example.notes/settings.json"));
    if (c.folder == "Elsewhere") {
      EXPECT_FALSE(std::ranges::any_of(
          tools_.calls, [](const auto& call) { return call.starts_with("runPrivileged"); }));
    }
    // Put the data back for the next case.
    for (const auto& r : store_.loadAll()) {
      for (const auto& item : r.items) {
        if (!item.isBundle && !fs::exists(item.originalPath)) {
          fs::copy(item.archivedPath, item.originalPath, fs::copy_options::recursive);
        }
      }
      (void)store_.remove(r.id);
    }
  }
}

TEST_F(OffloaderFixture, RemoveSendsTheArchiveToTheTrash) {
  ASSERT_TRUE(offloader().offload(notes()));
  const auto record = offloader().records().at(0);
  ASSERT_TRUE(offloader().remove(record.id)) << *offloader().lastError();
  EXPECT_FALSE(fs::exists(record.archiveDir));
  const auto trashed = tmp_ / "drive/.Trash-1000/files" / fs::path(record.archiveDir).filename();
  EXPECT_EQ(*readFile(trashed / "data/1-org.example.notes/settings.json"), "{\"theme\":\"dark\"}");
  EXPECT_TRUE(store_.loadAll().empty());

  // A record edited to point elsewhere never sends that place to the Trash.
  auto forged = record;
  forged.id = "11111111-2222-4333-8444-555555555555";
  forged.archiveDir = home_.string();
  ASSERT_TRUE(store_.save(forged));
  offloader().reload();
  EXPECT_FALSE(offloader().remove(forged.id));
  EXPECT_EQ(*readFile(home_ / ".config/org.example.notes-helper/x"), "helper");
  // Nor does a restore write outside the user's places and the applications folders.
  forged.items.at(0).originalPath = (tmp_ / "etc/cron.d/Notes.app").string();
  ASSERT_TRUE(store_.save(forged));
  offloader().reload();
  EXPECT_FALSE(offloader().restore(forged.id));
  EXPECT_FALSE(fs::exists(tmp_ / "etc"));
}

TEST_F(OffloaderFixture, RestoreAfterAnInterruptedRemovalTakesWhatStayedHome) {
  // Given an offload stopped while removing, with the data folder never removed:
  // an untouched leftover is simply kept, a changed one is never overwritten.
  struct Case {
    std::string name;
    std::string leftover;  // the data file's content at restore time
    bool restores;
  };
  const std::vector<Case> cases = {{"left as archived", "{\"theme\":\"dark\"}", true},
                                   {"changed since", "{\"theme\":\"light\"}", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    offloader_.reset();
    layOut();
    ASSERT_TRUE(offloader().offload(notes())) << *offloader().lastError();
    auto record = offloader().records().back();
    const auto& data = record.items.at(1);
    fs::copy(data.archivedPath, data.originalPath, fs::copy_options::recursive);
    std::ofstream(fs::path(data.originalPath) / "settings.json") << c.leftover;
    if (c.restores) {
      fs::copy_file(fs::path(data.archivedPath) / "settings.json",
                    fs::path(data.originalPath) / "settings.json",
                    fs::copy_options::overwrite_existing);
    }
    record.phase = OffloadPhase::kRemoving;
    ASSERT_TRUE(store_.save(record));
    offloader().reload();

    EXPECT_EQ(static_cast<bool>(offloader().restore(record.id)), c.restores);
    EXPECT_TRUE(fs::exists(tmp_ / "Applications/Notes.app") == c.restores);
    EXPECT_EQ(*readFile(fs::path(data.originalPath) / "settings.json"), c.leftover);
  }
}

}  // namespace
}  // namespace brimvale::apps
