#include "app/cli/status_refresh.h"

#include <sys/stat.h>

#include "mover/safety_checks.h"

namespace brimvale::app {

std::optional<std::time_t> writtenAt(const std::filesystem::path& snapshot) {
  struct stat st {};
  if (::stat(snapshot.c_str(), &st) != 0) return std::nullopt;
  return st.st_mtime;
}

std::optional<std::string> refreshWhenStale(std::optional<std::time_t> written, std::time_t now,
                                            std::int64_t tickSecs, bool driveChanged,
                                            const SnapshotRequest& request) {
  const std::int64_t age = written ? now - *written : 0;
  // A clock set back makes the age negative: that snapshot cannot be trusted either.
  const bool fresh = written && age >= 0 && age <= tickSecs;
  if (fresh && !driveChanged) return std::nullopt;
  const std::string was =
      !written  ? std::string("There was no status snapshot yet")
      : fresh   ? std::string("The drive changed since the status snapshot was written")
      : age < 0 ? std::string("The status snapshot was dated in the future")
                : "The status snapshot was written " + mover::ageText(age);
  if (request()) return was + ", so Brimvale asked the service for a fresh one.";
  return was +
         " and the service didn't answer, so what follows may be out of date. Check the "
         "service with `brimvale self-check`.";
}

}  // namespace brimvale::app
