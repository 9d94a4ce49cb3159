#include "cloud/sync_manager.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cloud/cloud_testing.h"
#include "cloud/rclone_client.h"
#include "common/base/file_io.h"
#include "testing/base/temp_folder.h"

namespace brimvale::cloud {
namespace {

namespace fs = std::filesystem;
using testing::realRclone;

// A manager over the real rclone in a temporary folder, recording what it
// tells the user and writes to job logs.
struct Harness {
  brimvale::testing::TempFolder temp{"bv-sync"};
  DriveState drive;
  std::vector<std::string> logLines;
  std::optional<JobState> stateElsewhereAtPurge;
  std::optional<std::string> rclone = realRclone();
  RcloneClient client{realRclone(), runProcess};
  transfers::TransferEventStore events{temp / "state"};
  std::unique_ptr<SyncManager> manager;

  Harness() {
    manager = std::make_unique<SyncManager>(
        SyncManagerSetup{.jobsFile = temp / "sync" / "jobs.json",
                         .rclone = rclone,
                         .run = runProcess,
                         .client = &client,
                         .deletable = PathPolicy(PathPolicy::rootsFor(temp.path())),
                         .drive = [this] { return drive; },
                         .log =
                             [this](const std::string& id, const std::string& line) {
                               logLines.push_back(line);
                               // What another process reads of the job while its source is purged.
                               if (line.starts_with(kPurgeStartPrefix)) {
                                 auto listed = JobListFile(temp / "sync" / "jobs.json").load();
                                 if (listed && jobWithPrefix(*listed, id)) {
                                   stateElsewhereAtPurge = jobWithPrefix(*listed, id)->state;
                                 }
                               }
                             },
                         .events = &events});
  }
  fs::path files(const std::string& name, int count, std::size_t size) {
    for (int i = 0; i < count; ++i)
      temp.file(name + "/f" + std::to_string(i) + ".bin", std::string(size, 'a' + i % 26));
    return temp / name;
  }
  JobState state(const std::string& id) { return manager->find(id)->state; }
  // Polls until `done` holds; the limit only stops a broken build from hanging.
  bool until(const std::function<bool()>& done) {
    for (int i = 0; i < 600 && !done(); ++i) {
      manager->waitForActivity(std::chrono::milliseconds(100));
      manager->poll();
    }
    return done();
  }
  bool reaches(const std::string& id, JobState state) {
    return until([&] { return this->state(id) == state; });
  }
  bool logged(const std::string& line) {
    return std::find(logLines.begin(), logLines.end(), line) != logLines.end();
  }
};

// A purge deletes only what the destination holds identically.
TEST(SyncManagerPurge, SourceIsDeletedOnlyAfterAVerifiedCopy) {
  struct Case {
    const char* name;
    bool dryRun;
    bool newerDifferentFileAtDestination;
    bool sourceKept;
    const char* lastLog;  // nothing when no purge may be attempted
  } cases[] = {
      {"verified copy", false, false, false, "Source purged successfully."},
      {"dry run", true, false, true, nullptr},
      // rclone's --update skips the older source file, so the copy "succeeds"
      // while the destination does not hold it: deleting would lose it.
      {"destination differs", false, true, true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    const auto source = h.files("src", 2, 300);
    if (c.newerDifferentFileAtDestination) {
      const auto newer = h.temp.file("dst/f0.bin", "the destination's own newer file");
      fs::last_write_time(newer, fs::file_time_type::clock::now() + std::chrono::hours(1));
    }
    SyncJob job = newSyncJob(source.string(), (h.temp / "dst").string(), JobMode::kCopy, 1);
    job.dryRun = c.dryRun;
    job.postSuccessAction = PostSuccessAction::kPurgeSource;
    const std::string id = h.manager->enqueue(job);
    ASSERT_TRUE(h.reaches(id, JobState::kCompleted)) << *h.manager->find(id)->errorMessage;
    EXPECT_EQ(fs::exists(source / "f0.bin"), c.sourceKept);
    EXPECT_EQ(h.logged(std::string(kPurgeStartPrefix) + source.string()), !c.dryRun);
    if (!c.dryRun) {
      // Read back as queued, it would be started again by any other process.
      EXPECT_EQ(h.stateElsewhereAtPurge, JobState::kRunning);
    }
    if (c.lastLog) {
      EXPECT_TRUE(h.logged(c.lastLog));
    }
    if (c.newerDifferentFileAtDestination) {
      EXPECT_FALSE(fs::exists(source / "f1.bin")) << "the identical file still goes";
      EXPECT_TRUE(std::any_of(h.logLines.begin(), h.logLines.end(), [](const std::string& l) {
        return l.starts_with(kPurgeFailedPrefix) && l.find("f0.bin") != std::string::npos;
      }));
    }
  }
}

// A move copies, checks each file against its copy (the bytes here, rclone's
// checksums on a remote) and only then deletes it; a differing destination
// file is kept beside the moved one; a source outside the folders Brimvale
// looks after is copied and kept.
TEST(SyncManagerMove, DeletesEachSourceFileOnlyOnceItsCopyIsShownIdentical) {
  struct Case {
    const char* name;
    bool remoteSource, remoteDestination, outsideRoots;
    JobState end;
  } cases[] = {
      {"local to local", false, false, false, JobState::kCompleted},
      {"local to a remote", false, true, false, JobState::kCompleted},
      {"a remote to local", true, false, false, JobState::kCompleted},
      {"a source Brimvale may not delete from", false, false, true, JobState::kFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    if (c.outsideRoots) {
      h.manager = std::make_unique<SyncManager>(
          SyncManagerSetup{.jobsFile = h.temp / "sync" / "jobs.json",
                           .rclone = h.rclone,
                           .run = runProcess,
                           .client = &h.client,
                           .deletable = PathPolicy(PathPolicy::rootsFor(h.temp / "elsewhere"))});
    }
    ASSERT_TRUE(
        runProcess({.path = *h.rclone, .args = {"config", "create", "box", "local"}}).succeeded());
    const auto source = h.files("src", 3, 2000);
    h.temp.file("src/sub/deep.txt", "deep");
    const auto mine = h.temp.file("dst/f1.bin", "the destination's own file");
    fs::last_write_time(mine, fs::file_time_type::clock::now() + std::chrono::hours(1));
    SyncJob job = newSyncJob((c.remoteSource ? "box:" : "") + source.string(),
                             (c.remoteDestination ? "box:" : "") + (h.temp / "dst").string(),
                             JobMode::kMove, 1);
    const std::string id = h.manager->enqueue(job);
    ASSERT_TRUE(h.reaches(id, c.end)) << h.manager->find(id)->errorMessage.value_or("");
    EXPECT_EQ(readFile(h.temp / "dst" / "f1.bin").value_or(""), std::string(2000, 'b'));
    EXPECT_EQ(readFile(h.temp / "dst" / "sub" / "deep.txt").value_or(""), "deep");
    int keptAside = 0;
    for (const auto& entry : fs::directory_iterator(h.temp / "dst")) {
      keptAside += entry.path().filename().string().starts_with("f1.bin.kept-") &&
                   readFile(entry.path()).value_or("") == "the destination's own file";
    }
    EXPECT_EQ(keptAside, 1);
    if (c.outsideRoots) {
      EXPECT_TRUE(fs::exists(source / "sub" / "deep.txt"));
      EXPECT_NE(h.manager->find(id)->errorMessage->find("was kept"), std::string::npos);
    } else {
      EXPECT_FALSE(fs::exists(source / "f0.bin"));
      EXPECT_FALSE(fs::exists(source / "sub"));
    }
  }
}

// Given a template with a schedule, then a scheduled run copies its
// parameters (not its identity, state or schedule) and moves the template's
// lastScheduledRun to the slot, once however many processes run the
// schedules; schedules written to the file by another program are taken
// over without ever moving lastScheduledRun back.
TEST(SyncManagerSchedules, RunsCopyTheTemplateAndSchedulesComeFromTheFile) {
  brimvale::testing::TempFolder temp{"bv-sync-schedules"};
  SyncManager manager({.jobsFile = temp / "sync" / "jobs.json",
                       .mayStart = [](const SyncJob&) { return false; },
                       .clock = [] { return std::time_t{5000}; }});
  SyncJob job = newSyncJob("/data/photos", "cloud:photos", JobMode::kBisync, 100);
  job.bandwidthLimit = "10M";
  job.bisyncResync = true;
  job.schedule = nlohmann::json{{"kind", "daily"}, {"hour", 3}};
  job.lastScheduledRun = 1000;
  const std::string templateId = manager.enqueue(job);
  SyncManager other(
      {.jobsFile = temp / "sync" / "jobs.json", .mayStart = [](const SyncJob&) { return false; }});
  ASSERT_TRUE(other.load());

  EXPECT_FALSE(manager.enqueueScheduledRun("NO-SUCH-JOB", 4000).has_value());
  const auto runId = manager.enqueueScheduledRun(templateId, 4000);
  ASSERT_TRUE(runId.has_value());
  EXPECT_FALSE(other.enqueueScheduledRun(templateId, 4000).has_value());
  EXPECT_EQ(JobListFile(temp / "sync" / "jobs.json").load().value_or(std::vector<SyncJob>{}).size(),
            2u);
  const SyncJob& run = *manager.find(*runId);
  EXPECT_NE(run.id, templateId);
  EXPECT_EQ(run.source, job.source);
  EXPECT_FALSE(run.schedule.has_value());
  EXPECT_EQ(manager.find(templateId)->lastScheduledRun, 4000);

  struct Case {
    const char* name;
    std::optional<nlohmann::json> schedule;
    std::optional<std::time_t> lastOnDisk;
    std::optional<std::time_t> wantLast;
  };
  const Case cases[] = {
      {"a new schedule with an older stamp", nlohmann::json{{"kind", "hourly"}}, 3000, 4000},
      {"a later stamp", nlohmann::json{{"kind", "hourly"}}, 6000, 6000},
      {"cleared to manual", std::nullopt, std::nullopt, 6000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SyncJob onDisk = *manager.find(templateId);
    onDisk.schedule = c.schedule;
    onDisk.lastScheduledRun = c.lastOnDisk;
    manager.adoptSchedules({onDisk});
    EXPECT_EQ(manager.find(templateId)->schedule, c.schedule);
    EXPECT_EQ(manager.find(templateId)->lastScheduledRun, c.wantLast);
    // What is adopted is saved: a restart keeps it.
    const auto saved = JobListFile(temp / "sync" / "jobs.json").load();
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->front().schedule, c.schedule);
  }
}

// Given two processes that each add jobs to the shared list at the same
// time, every job of both is in the list afterwards.
TEST(SyncManagerShared, TwoProcessesAddingAtOnceLoseNothing) {
  brimvale::testing::TempFolder temp("bv-shared");
  const fs::path jobsFile = temp / "sync" / "jobs.json";
  constexpr int kEach = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SyncManager adder({.jobsFile = jobsFile, .mayStart = [](const SyncJob&) { return false; }});
      if (!adder.load()) _exit(3);
      for (int i = 0; i < kEach; ++i) {
        adder.enqueue(
            newSyncJob("/src/" + std::to_string(p), "r:" + std::to_string(i), JobMode::kCopy, 1));
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto jobs = JobListFile(jobsFile).load();
  ASSERT_TRUE(jobs);
  EXPECT_EQ(jobs->size(), 2u * kEach) << "lost " << 2 * kEach - static_cast<int>(jobs->size());
}

// A job saved as running comes back queued unless the process that runs it
// is still the same live process.
TEST(JobListFile, RunningJobsStayRunningOnlyWhileTheirOwnerLives) {
  brimvale::testing::TempFolder temp("bv-owner");
  const fs::path jobsFile = temp / "jobs.json";
  const auto runs = JobRunFiles::besideJobList(jobsFile);
  const JobRun live = runOfThisProcess(0, {}, 1);
  JobRun recycled = live;
  recycled.ownerStart += 1;
  const pid_t reaped = fork();
  if (reaped == 0) _exit(0);
  waitpid(reaped, nullptr, 0);
  JobRun dead = live;
  dead.ownerPid = reaped;
  struct Case {
    std::string what;
    std::optional<JobRun> run;
    JobState read;
  } cases[] = {
      {"no run record", std::nullopt, JobState::kQueued},
      {"owner has exited", dead, JobState::kQueued},
      {"process id taken by another process", recycled, JobState::kQueued},
      {"owner alive", live, JobState::kRunning},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SyncJob job = newSyncJob("/a", "r:b", JobMode::kCopy, 1);
    job.state = JobState::kRunning;
    ASSERT_TRUE(JobListFile(jobsFile).save({job}));
    runs.remove(job.id);
    if (c.run) {
      ASSERT_TRUE(runs.write(job.id, *c.run));
    }
    auto loaded = JobListFile(jobsFile).load();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->at(0).state, c.read);
  }
}

}  // namespace
}  // namespace brimvale::cloud
