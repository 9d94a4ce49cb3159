#include "app/core/in_use_choice.h"

#include <thread>

#include "common/base/text_formats.h"

namespace brimvale::app {
namespace {

using namespace std::chrono_literals;

std::string refusalWords(mover::QuitRefusal why) {
  switch (why) {
    case mover::QuitRefusal::kSystemProcess: return "it is part of the system";
    case mover::QuitRefusal::kThisProgram: return "it is Brimvale itself or what started it";
    case mover::QuitRefusal::kOtherUser: return "it belongs to another user";
    case mover::QuitRefusal::kGone: return "it had already ended";
  }
  return {};
}

// Asks on the terminal; the action, or nothing when the user chose to stop.
std::optional<InUseAction> askUser(MoverCommandContext& c) {
  c.out << "Quit these apps first, or continue anyway (may interrupt them)? [q]uit / [c]ontinue / "
           "[N]o "
        << std::flush;
  std::string answer;
  if (!std::getline(c.in, answer)) answer.clear();
  answer = asciiLower(std::string(trimBlanks(answer)));
  if (answer == "q" || answer == "quit") return InUseAction::kQuit;
  if (answer == "c" || answer == "continue") return InUseAction::kGoOn;
  c.out << "Nothing was moved; your folder is untouched.\n";
  return std::nullopt;
}

// Who quit, who was left alone and who still holds the folder; newline-terminated lines.
std::string quitReportText(const mover::QuitReport& report) {
  std::string text;
  if (!report.quit.empty()) text += "Quit: " + describeInUse(report.quit) + ".\n";
  for (const auto& p : report.notAsked) {
    text += "Not asked to quit: " + p.displayName + " (pid " + std::to_string(p.pid) + "), as " +
            refusalWords(p.why) + ".\n";
  }
  text += report.stillUsing.empty()
              ? "No app uses files in this folder any more.\n"
              : "Still using files in this folder: " + describeInUse(report.stillUsing) +
                    ". Quit them yourself for the cleanest copy.\n";
  return text;
}

}  // namespace

InUseAction inUseAction(const MoveOptions& o, bool interactive, bool anyUsers) {
  if (!anyUsers || o.dryRun) return InUseAction::kGoOn;
  if (o.quitApps) return InUseAction::kQuit;
  if (o.continueAnyway || o.yes || !interactive) return InUseAction::kGoOn;
  return InUseAction::kAsk;
}

bool settleFolderUsers(MoverCommandContext& c, const MoveOptions& o, const std::string& src,
                       const std::vector<mover::FolderInUseEntry>& users) {
  auto action = inUseAction(o, c.interactive, !users.empty());
  if (action == InUseAction::kAsk) {
    auto chosen = askUser(c);
    if (!chosen) return false;
    action = *chosen;
  }
  if (action != InUseAction::kQuit || !c.launcher) return true;
  c.out << "Sending quit signal and waiting for apps to exit (≈ 1.5s)…\n" << std::flush;
  const mover::QuitSteps steps{
      [&c, &src] {
        c.out << "Rechecking which apps still have files open…\n" << std::flush;
        return mover::FolderInUseProbe::forThisSystem(c.run).scan(src);
      },
      [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); }, 1500ms};
  c.out << quitReportText(
      mover::quitFolderUsers(users, *c.launcher, mover::quitGuardsOfThisProcess(), steps));
  return true;
}

}  // namespace brimvale::app
