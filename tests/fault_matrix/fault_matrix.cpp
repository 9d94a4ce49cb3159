#include "fault_matrix.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "common/base/file_io.h"
#include "content_ledger.h"
#include "testing/base/tree_view.h"

namespace brimvale::faults {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kReachTimeout = 60s;

std::string label(const std::string& name) {
  std::string out;
  for (char c : name) out += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
  return out.substr(0, 40);
}

// What a program writing into the folder meanwhile does: appends numbered
// lines to one file, saves another the way editors do (a new file renamed
// over it) and adds new files. Every line appended, the last saved version
// and every new file must be found somewhere afterwards.
class Writer {
 public:
  Writer(fs::path target, std::string tag) : target_(std::move(target)), tag_(std::move(tag)) {}
  ~Writer() { stop(); }

  void burst() {
    std::lock_guard lock(mutex_);
    ++n_;
    std::error_code ec;
    const bool folder = fs::is_directory(target_, ec);
    std::vector<fs::path> files;
    if (folder) {
      for (const auto& e : fs::directory_iterator(target_, ec)) {
        // Its own new files, hidden files (temporaries, its own or another
        // program's, half written) and the other versions Brimvale keeps
        // beside a file ("NAME.kept-<time>") are not what this program edits.
        const std::string name = e.path().filename().string();
        if (e.is_regular_file(ec) && !name.starts_with("written-") && !name.starts_with(".") &&
            name.find(".kept-") == std::string::npos)
          files.push_back(e.path());
      }
      std::sort(files.begin(), files.end());
    } else if (fs::is_regular_file(target_, ec)) {
      files.push_back(target_);
    }
    if (!files.empty()) {
      const std::string line = "line " + std::to_string(n_) + " of " + tag_ + "\n";
      const int fd = ::open(files[0].c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
      if (fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        lines_.push_back(line);
        touch(files[0]);
      }
      if (fd >= 0) ::close(fd);
    }
    // While the target is away (parked, being swapped) nothing is written:
    // a save would make a file where the folder belongs.
    if (files.size() > 1 || (!folder && !files.empty())) {
      const fs::path saved = folder ? files.back() : target_;
      const std::string version = "version " + std::to_string(n_) + " of " + tag_ + "\n";
      const fs::path temp = saved.parent_path() / (".~" + saved.filename().string() + ".swp");
      std::ofstream(temp, std::ios::binary) << version;
      if (::rename(temp.c_str(), saved.c_str()) == 0) {
        lastSaved_[saved.string()] = version;
        touch(saved);
      }
    }
    if (folder) {
      const std::string name = "written-" + std::to_string(n_) + ".txt";
      const std::string text = "new file " + std::to_string(n_) + " of " + tag_ + "\n";
      std::ofstream out(target_ / name, std::ios::binary);
      out << text;
      out.close();  // a full disk says so only here
      if (out) made_.push_back(text);
    }
  }

  // The file changed on purpose, by the name written and the file it leads to.
  void touch(const fs::path& path) {
    touched_.insert(path);
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(path, ec);
    if (!ec) touched_.insert(real);
  }

  void startContinuous() {
    running_ = true;
    thread_ = std::thread([this] {
      while (running_) {
        burst();
        std::this_thread::sleep_for(15ms);
      }
    });
  }

  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }

  // The writer's contents as expectations, and the appended lines not found
  // in any file under `roots` (bytes).
  std::uintmax_t expect(ContentLedger& ledger, const std::vector<fs::path>& roots,
                        std::vector<std::string>& missing) const {
    // What the writer changed on purpose is not the command's to keep.
    for (const fs::path& path : touched_) ledger.forget(path);
    for (const auto& [path, version] : lastSaved_) ledger.expect(version, path + " (saved)");
    for (const auto& text : made_) ledger.expect(text, "a new file");
    std::set<std::string> found;
    for (const fs::path& root : roots) {
      std::error_code ec;
      for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        const std::string bytes = readFile(it->path()).value_or("");
        for (const auto& line : lines_) {
          if (bytes.find(line) != std::string::npos) found.insert(line);
        }
      }
    }
    std::uintmax_t lost = 0;
    for (const auto& line : lines_) {
      if (!found.contains(line)) {
        lost += line.size();
        missing.push_back("appended " + line.substr(0, line.size() - 1));
      }
    }
    return lost;
  }

 private:
  fs::path target_;
  std::string tag_;
  std::mutex mutex_;
  int n_ = 0;
  std::vector<std::string> lines_;
  std::map<std::string, std::string> lastSaved_;
  std::vector<std::string> made_;
  std::set<fs::path> touched_;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

void junkEveryStateFile(const fs::path& state) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(state, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec))
      std::ofstream(it->path(), std::ios::binary | std::ios::trunc) << "{\"junk\x01\xff\n\0[";
  }
}

// Moves the target aside (it stays in the ledger's reach: to scratch, or
// beside itself when scratch is on another file system) and plants a link to
// a decoy folder in its place: nothing may be done to the decoy.
fs::path plantLink(Scene& scene) {
  const fs::path scratch = scene.world.scratch();
  const fs::path decoy = scratch / "decoy";
  fs::create_directories(decoy);
  std::ofstream(decoy / "not-yours.txt") << "a file the command was never asked to touch\n";
  std::error_code ec;
  fs::create_directories(scratch / "aside", ec);
  scene.movedAside = scratch / "aside" / scene.target.filename();
  fs::rename(scene.target, scene.movedAside, ec);
  if (ec == std::errc::cross_device_link) {
    scene.movedAside = scene.target.string() + ".planted-aside";
    fs::rename(scene.target, scene.movedAside, ec);
  }
  fs::create_directory_symlink(decoy, scene.target, ec);
  return decoy;
}

}  // namespace

CellResult runCell(const Row& row, Fault fault, const std::string& moment) {
  CellResult r{.row = row.name, .fault = fault, .moment = moment};
  if (auto na = row.notApplicable.find(fault); na != row.notApplicable.end()) {
    r.applicable = false;
    r.note = na->second;
    return r;
  }
  FaultWorld world(label(row.name) + "-" + std::string(rawNameOf(kFaultNames, fault)));
  if (!world.whyNot().empty()) {
    r.note = "setup: " + world.whyNot();
    ++r.falseSuccesses;  // a cell that cannot run proves nothing: it must not pass
    return r;
  }
  Scene scene{.world = world};
  if (!row.prepare(scene)) {
    r.note = "setup: the row could not lay out its world";
    ++r.falseSuccesses;
    return r;
  }
  const fs::path brimvaleFolder = world.home().path() / ".brimvale";
  const auto contentRoots = [&] {
    auto roots = world.contentRoots();
    roots.push_back(brimvaleFolder / "quarantine");
    if (scene.moreRoots) {
      for (fs::path& more : scene.moreRoots()) roots.push_back(std::move(more));
    }
    return roots;
  };
  const std::vector<fs::path> skip{brimvaleFolder};
  ContentLedger before = ContentLedger::take(contentRoots(), skip);
  const ContentLedger allowed = ContentLedger::take(scene.deletes);

  auto judge = [&](const ProcessResult& result) {
    ++r.runs;
    const bool claimed =
        result.succeeded() ||
        (!row.successText.empty() && result.out.find(row.successText) != std::string::npos);
    if (!claimed) return;
    scene.judgedOut = result.out;
    if (std::string wrong = row.claimHolds(scene); !wrong.empty()) {
      ++r.falseSuccesses;
      // What it said, for whoever reads the table.
      std::string said =
          result.out.size() > 400 ? result.out.substr(result.out.size() - 400) : result.out;
      std::replace(said.begin(), said.end(), '\n', ' ');
      r.note += (r.note.empty() ? "" : "; ") + ("claimed success, but " + wrong + " (" +
                                                result.describe() + ", it said: " + said + ")");
    }
  };
  auto struck = [&](const Pause& pause, const std::future<ProcessResult>& running, auto&& action) {
    if (pause.reached(kReachTimeout,
                      [&] { return running.wait_for(0s) == std::future_status::ready; })) {
      action();
    } else {
      r.unreached = true;
    }
    pause.release();
  };

  std::vector<Invocation> commands{scene.command};
  commands.insert(commands.end(), scene.then.begin(), scene.then.end());
  const std::vector<Invocation> again = scene.rerun.empty() ? commands : scene.rerun;
  auto run = [&world](const std::vector<Invocation>& sequence,
                      const std::vector<std::string>& hooks = {}) {
    ProcessResult last;
    for (const Invocation& step : sequence) {
      last = world.run(step, hooks);
      if (!last.succeeded()) break;
    }
    return last;
  };
  auto start = [&](const std::vector<Invocation>& sequence,
                   const std::vector<std::string>& hooks = {}) {
    return std::async(std::launch::async, [&run, sequence, hooks] { return run(sequence, hooks); });
  };

  Writer writer(scene.target, label(row.name));
  fs::path decoy;
  brimvale::testing::TreeSums decoyBefore;
  switch (fault) {
    case Fault::kWriter: {
      writer.startContinuous();
      if (moment.empty()) {
        judge(run(commands));
      } else {
        const Pause pause = world.pauseAt(moment);
        auto running = start(commands, {pause.option()});
        struck(pause, running, [&] { writer.burst(); });
        judge(running.get());
      }
      writer.stop();
      break;
    }
    case Fault::kKillRerun: {
      const Pause mark = world.pauseAt(moment);  // only its flag's name is used
      const ProcessResult killed =
          run(commands, {"--stop-after=" + moment + "@" + mark.flag().string()});
      if (killed.outcome != ProcessOutcome::kSignalled && !mark.reached(0ms)) r.unreached = true;
      judge(run(again));
      break;
    }
    case Fault::kTwiceAtOnce: {
      auto first = start(commands);
      auto second = start(commands);
      judge(first.get());
      judge(second.get());
      break;
    }
    case Fault::kUnplugged: {
      const Pause pause = world.pauseAt(moment);
      auto running = start(commands, {pause.option()});
      struck(pause, running, [&] { world.unplug(); });
      const ProcessResult cut = running.get();
      world.replug();
      judge(cut);
      judge(run(again));
      break;
    }
    case Fault::kDriveFull:
      world.fillDrive();
      judge(run(commands));
      break;
    case Fault::kStateFull:
    case Fault::kStateReadOnly: {
      fault == Fault::kStateFull ? world.fillState() : world.makeStateReadOnly();
      const ProcessResult result = run(commands);
      world.releaseState();
      judge(result);
      break;
    }
    case Fault::kJunkState:
      junkEveryStateFile(world.home().state());
      judge(run(commands));
      break;
    case Fault::kPlantedLink: {
      const Pause pause = world.pauseAt(moment);
      auto running = start(commands, {pause.option()});
      struck(pause, running, [&] {
        decoy = plantLink(scene);
        decoyBefore = brimvale::testing::treeSums(decoy);
      });
      judge(running.get());
      break;
    }
  }

  std::vector<std::string> missing;
  const auto roots = contentRoots();
  r.bytesLost += writer.expect(before, roots, missing);
  const ContentLedger after = ContentLedger::take(roots, skip);
  auto [bytes, paths] = before.missingFrom(after, allowed);
  r.bytesLost += bytes;
  missing.insert(missing.end(), paths.begin(), paths.end());
  if (row.unrecoverable) {
    auto [stranded, what] = row.unrecoverable(scene);
    r.bytesLost += stranded;
    missing.insert(missing.end(), what.begin(), what.end());
  }
  if (!decoy.empty() && brimvale::testing::treeSums(decoy) != decoyBefore) {
    r.bytesLost += 1;
    missing.push_back("the planted link's folder was changed");
  }
  // The cell's places outside its world go with it.
  if (scene.moreRoots) {
    std::error_code ec;
    for (const fs::path& place : scene.moreRoots()) fs::remove_all(place, ec);
  }
  if (!missing.empty()) {
    std::string lost = "lost:";
    for (std::size_t i = 0; i < missing.size() && i < 5; ++i) lost += " " + missing[i];
    r.note += (r.note.empty() ? "" : "; ") + lost;
  }
  return r;
}

const std::vector<Row>& allRows() {
  static const std::vector<Row> rows = [] {
    std::vector<Row> all;
    for (auto group : {moverRows, serviceRows, driveTransferRows, appCleanupRows, rollbackRows,
                       recoveryRows, appsRows, cloudRows}) {
      for (Row& row : group()) all.push_back(std::move(row));
    }
    return all;
  }();
  return rows;
}

}  // namespace brimvale::faults
