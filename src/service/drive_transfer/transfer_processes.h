// The transfer job's own processes: the detached supervisor and the copy it
// runs, started, recognised and stopped through the platform's launcher.
#pragma once

#include <chrono>
#include <string>

#include "common/base/error.h"
#include "service/core/service_context.h"
#include "service/drive_transfer/transfer_store.h"

namespace brimvale::service {

// The descriptor on which a launched supervisor finds the supervisor lock
// its launcher took: a fixed number, so nothing on the command line has to
// say where it is, and the first after the standard streams, so it is free in
// every freshly started program. The copy inherits it, which keeps the lock
// held until the last process of the job is gone.
inline constexpr int kSupervisorLockFd = 3;

// How long a supervisor that has recorded its last phase is given to leave.
inline constexpr std::chrono::milliseconds kSupervisorLeaveWait{3000};

enum class StopEscalation { kWaitOnly, kKillAfterWait };

class JobProcesses {
 public:
  // `serviceProgram` is this program's path: what the supervisor runs.
  JobProcesses(ServiceContext& ctx, std::string serviceProgram);

  // Starts `serviceProgram __xfer-supervise` detached and records its pid.
  // kUnavailable while a supervisor of the job (or its copy) holds the lock.
  [[nodiscard]] Result<int> launchSupervisor();
  // Some supervisor of the job (or its copy) holds the supervisor lock, or
  // the recorded supervisor pid still runs this program. A recorded pid the
  // system has given to another program does not count.
  [[nodiscard]] bool supervisorRuns();
  // Waits at most `limit` for supervisorRuns() to turn false.
  [[nodiscard]] bool supervisorEnded(std::chrono::milliseconds limit);
  // Sends SIGTERM to the recorded supervisor and copy (only while they are
  // still the job's) and waits until they and every lock holder have ended;
  // with kKillAfterWait, kills whatever outlives the wait and waits again.
  void stop(StopEscalation escalation);

 private:
  [[nodiscard]] bool isJobProcess(int pid, const std::string& program, bool lockHeld);

  ServiceContext& ctx_;
  TransferStore store_;
  std::string serviceProgram_;
};

// This program's own path; empty when the system cannot say.
[[nodiscard]] std::string ownExecutable();

// Holds the supervisor lock for the rest of this process's life (and its
// copy's, which inherits it): the one its launcher handed over on
// kSupervisorLockFd, or, for a supervisor started some other way, taken
// here. False when another supervisor holds it.
[[nodiscard]] bool holdSupervisorLock(const TransferFiles& files);

}  // namespace brimvale::service
