#include "cloud/job_runs.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cloud/pepper_store.h"
#include "common/base/file_io.h"
#include "common/base/timestamps.h"

namespace brimvale::cloud {

namespace fs = std::filesystem;
using nlohmann::json;

std::optional<std::int64_t> processStartTicks(int pid) {
  if (pid <= 0) return std::nullopt;
  auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  // The name in parentheses may hold blanks and parentheses: count fields
  // from the last ')'. The start time is field 22; field 3 follows the ')'.
  const auto close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat->substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field)) return std::nullopt;
  }
  try {
    return std::stoll(field);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool processSuspended(int pid) {
  if (pid <= 0) return false;
  auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return false;
  const auto close = stat->rfind(')');
  return close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] == 'T';
}

JobRun runOfThisProcess(int rclonePid, const JobProgress& progress, std::time_t now) {
  const int self = static_cast<int>(getpid());
  return JobRun{.ownerPid = self,
                .ownerStart = processStartTicks(self).value_or(0),
                .rclonePid = rclonePid,
                .progress = progress,
                .updatedAt = now};
}

bool ownerAlive(const JobRun& run) {
  if (run.ownerPid <= 0) return false;
  if (::kill(run.ownerPid, 0) != 0 && errno != EPERM) return false;
  return processStartTicks(run.ownerPid) == run.ownerStart;
}

JobRunFiles JobRunFiles::besideJobList(const fs::path& jobsFile) {
  return JobRunFiles(jobsFile.parent_path() / "runs");
}

fs::path JobRunFiles::fileOf(const std::string& jobId) const { return folder_ / (jobId + ".json"); }

Result<void> JobRunFiles::write(const std::string& jobId, const JobRun& run) const {
  if (auto made = ensurePrivateFolder(folder_); !made) return made;
  const json record{{"ownerPid", run.ownerPid},
                    {"ownerStart", run.ownerStart},
                    {"rclonePid", run.rclonePid},
                    {"progress", encodeProgress(run.progress)},
                    {"updatedAt", isots(run.updatedAt)}};
  return writeFileAtomically(fileOf(jobId), record.dump(2));
}

std::optional<JobRun> JobRunFiles::read(const std::string& jobId) const {
  auto text = readFile(fileOf(jobId));
  if (!text) return std::nullopt;
  const json record = json::parse(*text, nullptr, false);
  if (!record.is_object()) return std::nullopt;
  JobRun run;
  run.ownerPid = record.value("ownerPid", 0);
  run.ownerStart = record.value("ownerStart", std::int64_t{0});
  run.rclonePid = record.value("rclonePid", 0);
  if (auto it = record.find("progress"); it != record.end()) run.progress = decodeProgress(*it);
  run.updatedAt = parseIsots(record.value("updatedAt", std::string())).value_or(0);
  return run;
}

void JobRunFiles::remove(const std::string& jobId) const {
  std::error_code ec;
  fs::remove(fileOf(jobId), ec);
}

std::optional<JobRun> JobRunFiles::liveRun(const std::string& jobId) const {
  auto run = read(jobId);
  if (!run || !ownerAlive(*run)) return std::nullopt;
  return run;
}

}  // namespace brimvale::cloud
