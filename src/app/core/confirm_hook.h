// How a command body that moves or deletes the user's data leaves the
// decision to its caller: it describes its plan, and the caller shows it and
// answers. The command line asks, stops after a dry run, or refuses without a
// terminal; the dashboard, timers and --auto runs decided before they called
// and leave the hook empty.
#pragma once

#include <functional>
#include <string>

namespace brimvale::app {

enum class Verdict {
  kGo,         // go ahead
  kShownOnly,  // a dry run: the plan was shown and nothing is done
  kStopped,    // declined, or no one could be asked: nothing is done
};

using ConfirmHook = std::function<Verdict(const std::string& plan)>;

[[nodiscard]] inline Verdict decide(const ConfirmHook& hook, const std::string& plan) {
  return hook ? hook(plan) : Verdict::kGo;
}

// The exit status of a command that did not go ahead: a dry run succeeded.
[[nodiscard]] inline int stoppedStatus(Verdict verdict) {
  return verdict == Verdict::kShownOnly ? 0 : 1;
}

}  // namespace brimvale::app
