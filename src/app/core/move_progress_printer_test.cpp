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

TEST(CopyProgressLine, SaysOnlyWhatIsKnown) {
  struct Case {
    const char* name;
    CopySample sample;
    std::optional<double> rate;
    std::optional<std::int64_t> left;
    const char* line;
  };
  const std::vector<Case> cases{
      {"everything known",
       {0.25, 1'500 * kMB, 6'000 * kMB, "a/b.txt"},
       25.3 * kMB,
       180,
       "[#######-----------------------] 25% · 1.5 GB of 6 GB · 25.3 MB/s · about 3 min left · "
       "a/b.txt"},
      {"no rate yet",
       {0, 0, 649 * kMB, ""},
       std::nullopt,
       std::nullopt,
       "[------------------------------] 0% · Zero KB of 649 MB"},
      {"total unknown",
       {0.5, 2 * kMB, 0, ""},
       1.0 * kMB,
       std::nullopt,
       "[###############---------------] 50% · 2 MB · 1 MB/s"},
      {"stalled",
       {0.5, 2 * kMB, 4 * kMB, ""},
       0.2,
       std::nullopt,
       "[###############---------------] 50% · 2 MB of 4 MB · stalled"},
      {"control characters in a file name",
       {0, 0, 0, "Icon\r\x1b[2J\nx"},
       std::nullopt,
       std::nullopt,
       "[------------------------------] 0% · Zero KB · Icon??[2J?x"},
      {"fraction past the end",
       {1.7, 4 * kMB, 4 * kMB, ""},
       std::nullopt,
       std::nullopt,
       "[##############################] 100% · 4 MB of 4 MB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(copyProgressLine(c.sample, c.rate, c.left), c.line);
  }
}

TEST(CopyProgressLine, TimeLeftInWordsAtASensiblePrecision) {
  struct Case {
    std::int64_t seconds;
    const char* text;
  };
  const std::vector<Case> cases{
      {0, "about 1 s left"},     {59, "about 59 s left"},         {60, "about 1 min left"},
      {89, "about 1 min left"},  {90, "about 2 min left"},        {3'569, "about 59 min left"},
      {3'570, "about 1 h left"}, {7'500, "about 2 h 5 min left"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(timeLeftText(c.seconds), c.text);
  }
}

// Counts are grouped by thousands and "file" is singular for one; linking
// progress to a file is a plain line with no carriage return or escape bytes.
TEST(CountLines, CountWithGroupedThousands) {
  using Side = mover::HashedCount::Side;
  std::ostringstream plain;
  MoveProgressPrinter(plain, OutputKind::kPlain).showLinking({512, 2'048});
  const std::pair<std::string, std::string> cases[] = {
      {hashedCountLine({Side::kSource, 1'204, 5'000}),
       "Checking the original: 1,204 of 5,000 files"},
      {hashedCountLine({Side::kDestination, 1, 1}), "Checking the copy: 1 of 1 file"},
      {hashedCountLine({Side::kDestination, 999, 1'234'567}),
       "Checking the copy: 999 of 1,234,567 files"},
      {hashedCountLine({Side::kSource, 0, 1'000}), "Checking the original: 0 of 1,000 files"},
      {linkedCountLine({256, 5'000}), "Linking 256 of 5,000 files"},
      {linkedCountLine({1, 1}), "Linking 1 of 1 file"},
      {linkedCountLine({1'234'567, 1'234'567}), "Linking 1,234,567 of 1,234,567 files"},
      {plain.str(), "Linking 512 of 2,048 files\n"},
  };
  for (const auto& [line, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(line, expected);
  }
}

}  // namespace
}  // namespace brimvale::app
