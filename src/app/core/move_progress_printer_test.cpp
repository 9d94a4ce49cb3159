#include "app/core/move_progress_printer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

namespace brimvale::app {
namespace {

using Clock = MoveProgressPrinter::Clock;
using mover::MovePhase;

constexpr std::int64_t kMB = 1'000'000;

mover::MoveManifest job(MovePhase phase, std::string status = {}) {
  mover::MoveManifest m;
  m.id = "A1";
  m.src = "/home/u/Films";
  m.phase = phase;
  if (!status.empty()) m.statusMessage = std::move(status);
  return m;
}

// A one-minute copy at 10 MB/s looked at four times a second, then hashing.
std::string printedMove(OutputKind kind) {
  std::ostringstream out;
  Clock::time_point now{};
  MoveProgressPrinter printer(out, kind, [&now] { return now; });
  printer.phaseChanged(job(MovePhase::kCopying));
  for (int tick = 0; tick <= 240; ++tick) {
    now = Clock::time_point{} + std::chrono::milliseconds(250 * tick);
    printer.showCopy("A1", CopySample{.fraction = tick / 240.0,
                                      .bytesDone = tick * 10 * kMB / 4,
                                      .totalBytes = 600 * kMB,
                                      .currentFile = "clip.mov"});
  }
  printer.phaseChanged(job(MovePhase::kHashing, "Hashing source — 0%"));
  printer.endBar();
  return out.str();
}

TEST(MoveProgressPrinter, OnlyATerminalGetsARewrittenBar) {
  struct Case {
    OutputKind kind;
    bool rewritten;
    std::size_t lines;
  };
  // Plain: the phase, a copy line at once and then every 5 s (13 in 60 s),
  // the next phase. Terminal: the bar is ended before the next phase.
  const std::vector<Case> cases{{OutputKind::kPlain, false, 15}, {OutputKind::kTerminal, true, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rewritten ? "terminal" : "plain");
    const std::string text = printedMove(c.kind);
    EXPECT_EQ(text.find('\r') != std::string::npos, c.rewritten);
    EXPECT_EQ(text.find('\x1b') != std::string::npos, c.rewritten);
    EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), c.lines);
    EXPECT_NE(text.find("\nhashing “Films”: Hashing source — 0%\n"), std::string::npos) << text;
  }
  // Plain lines tell the time left from the rate: after 30 s at 10 MB/s,
  // 300 MB of 600 MB are left, 30 s.
  const std::string plain = printedMove(OutputKind::kPlain);
  EXPECT_NE(plain.find("50% · 300 MB of 600 MB · 10 MB/s · about 30 s left · clip.mov\n"),
            std::string::npos)
      << plain;
}

}  // namespace
}  // namespace brimvale::app
