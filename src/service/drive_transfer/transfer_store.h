// The transfer job's canonical state, state/transfer-job.kv (key=value
// lines), and its JSON rendering transfer-job.json, rewritten after every
// change so the application can poll it.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "common/base/error.h"
#include "common/base/file_lock.h"
#include "common/base/text_formats.h"
#include "common/state/drive_transfer_job.h"

namespace brimvale::service {

// Every file of the transfer job, under state/.
struct TransferFiles {
  std::filesystem::path state;
  std::filesystem::path store;          // transfer-job.kv
  std::filesystem::path json;           // transfer-job.json
  std::filesystem::path progressLog;    // transfer-progress.log
  std::filesystem::path rsyncLog;       // transfer-rsync.log
  std::filesystem::path supervisorPid;  // transfer.pid
  std::filesystem::path copyPid;        // transfer-rsync.pid
  std::filesystem::path lock;           // transfer.lock/ (a directory)
  // Held (flock) by the command changing the job, across its phase change and
  // the stopping or starting of processes that goes with it.
  std::filesystem::path control;  // transfer-control.lock
  // Held (flock) by the running supervisor and its copy, from before the
  // supervisor is started until the last of them ends.
  std::filesystem::path supervisorLock;  // transfer-supervisor.lock

  [[nodiscard]] static TransferFiles in(const std::filesystem::path& stateDir);
};

// Reads and writes the store. Every write is a read-modify-replace done while
// holding an exclusive flock on the state folder, so the supervisor folding
// progress cannot put back a phase that pause or cancel just wrote.
class TransferStore {
 public:
  explicit TransferStore(TransferFiles files) : files_(std::move(files)) {}

  [[nodiscard]] const TransferFiles& files() const { return files_; }
  [[nodiscard]] bool exists() const;
  // The text after the first '=' of the first line starting with "key=".
  [[nodiscard]] std::optional<std::string> get(std::string_view key) const;
  // get("phase"), empty when there is no job.
  [[nodiscard]] std::string phase() const;
  // The stored phase; kIdle when there is no job, nothing when unknown.
  [[nodiscard]] std::optional<TransferPhase> currentPhase() const;
  // Replaces the given keys (appended in argument order, other lines kept)
  // and re-renders the JSON.
  [[nodiscard]] Result<void> set(const KeyValues& pairs);
  // set() with the phase `next` first, then `more`.
  [[nodiscard]] Result<void> set(TransferPhase next, const KeyValues& more = {});
  // set(), but only while the phase is one of `phases`; false when it was
  // not (someone else moved the job on) and nothing was written.
  [[nodiscard]] Result<bool> setIfPhase(std::initializer_list<TransferPhase> phases,
                                        const KeyValues& pairs);
  [[nodiscard]] Result<bool> setIfPhase(std::initializer_list<TransferPhase> phases,
                                        TransferPhase next, const KeyValues& more = {});
  // Starts a new job: the store holds exactly `pairs`.
  [[nodiscard]] Result<void> reset(const KeyValues& pairs);

 private:
  [[nodiscard]] Result<void> writeLocked(const KeyValues& pairs, bool keepOthers);
  TransferFiles files_;
};

// Holds the control lock for its lifetime (waiting for it), so that pause,
// resume, cancel, commit, start and the watch tick act on the job one at a
// time. The supervisor never takes it.
class TransferControl {
 public:
  explicit TransferControl(const TransferFiles& files);

 private:
  FileLock lock_;
};

// Whether a supervisor of the job (or the copy it started) is still alive:
// someone holds the supervisor lock.
[[nodiscard]] bool supervisorAlive(const TransferFiles& files);

// The JSON the application reads: every key but rsyncBin, fixed order, two-
// space indentation; numbers that are not all digits are 0; strings escaped
// with control bytes removed; consent is a bool.
[[nodiscard]] std::string renderTransferJson(const KeyValues& store);

}  // namespace brimvale::service
