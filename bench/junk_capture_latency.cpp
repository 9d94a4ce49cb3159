// Time from the XFixes selection event (the moment this process hears that
// another program took the clipboard) to the scrap saved in the items file,
// under a private Xvfb. A helper process offers a new text, or a new image,
// each round. No peer tool does this, so the figure is absolute. Target:
// under 100 ms. The image's thumbnail is written after the scrap is saved;
// how much later is reported too.
//
// Usage: junk_capture_latency [rounds]   (default 200 per kind)
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "junk/junk_clipboard_watcher.h"
#include "junk/junk_image.h"
#include "junk/junk_store.h"
#include "platform/linux/x11_clipboard.h"
#include "testing/base/temp_folder.h"
#include "testing/platform/memory_user_defaults.h"
#include "testing/platform/test_loop.h"
#include "x11/xvfb_display.h"

using namespace brimvale;
using Clock = std::chrono::steady_clock;

namespace {

// CPU time of the calling thread: the work itself, whatever else the machine runs.
double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Notes when each scrap is saved.
class TimedSink : public junk::ScrapSink {
 public:
  explicit TimedSink(junk::ScrapSink& store) : store_(store) {}
  bool addScrap(junk::ScrapContent content) override {
    handedAt = Clock::now();
    const bool saved = store_.addScrap(std::move(content));
    if (saved) {
      savedAt = Clock::now();
      cpuAtSave = threadCpuMs();
      ++saves;
    }
    return saved;
  }
  Clock::time_point handedAt;
  Clock::time_point savedAt;
  double cpuAtSave = 0;
  std::atomic<int> saves{0};

 private:
  junk::ScrapSink& store_;
};

// A screenshot-sized PNG, `width` wide: consecutive rounds alternate the
// width, since two captures of one image size in a row count as a repeat.
std::string pngFile(const std::filesystem::path& folder, int width) {
  const int height = 800;
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7 / 5);
  auto png = junk::encodeRgbaPng(pixels.data(), width, height);
  if (!png) std::exit(1);
  const auto path = folder / ("image-" + std::to_string(width) + ".png");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size()));
  return path.string();
}

double median(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

void report(const char* kind, std::vector<double> ms, const std::vector<double>& reading,
            const std::vector<double>& cpu, const std::vector<double>& thumbs) {
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) { return ms[static_cast<std::size_t>(q * (ms.size() - 1))]; };
  std::printf(
      "%-6s event to saved: median %6.2f ms  p95 %6.2f ms  max %6.2f ms  (%zu rounds; "
      "target < 100 ms)\n       reading the clipboard takes %.2f ms of it; CPU time of the "
      "capture and save: median %.2f ms\n",
      kind, at(0.5), at(0.95), ms.back(), ms.size(), median(reading), median(cpu));
  if (!thumbs.empty())
    std::printf("       thumbnail written after the scrap: median %.2f ms\n", median(thumbs));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  testing::XvfbDisplay display;
  if (display.name().empty()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  auto clipboard = platform::X11Clipboard::open(display.name());
  if (!clipboard) {
    std::fprintf(stderr, "%s\n", clipboard.error().message().c_str());
    return 1;
  }
  testing::TempFolder home("brimvale-bench-junk");
  platform::testing::MemoryDefaults defaults;
  // Room for every round: the board keeps its oldest scraps off otherwise.
  (void)defaults.setInt("JunkMaxItems", 500);
  junk::JunkStore store(home.path(), junk::JunkSettings(defaults));
  if (!store.load()) return 1;
  TimedSink sink(store);
  testing::TestLoop loop;
  Clock::time_point heardAt;
  double cpuAtCheck = 0;
  junk::JunkClipboardWatcher watcher(
      **clipboard, sink, loop,
      [&](std::function<void()> task) {
        heardAt = Clock::now();
        loop.post([&, task = std::move(task)] {
          cpuAtCheck = threadCpuMs();
          task();
        });
      },
      defaults);
  watcher.start();
  const std::string images[] = {pngFile(home.path(), 1280), pngFile(home.path(), 1281)};

  for (const char* kind : {"text", "image"}) {
    std::vector<double> ms;
    std::vector<double> reading;
    std::vector<double> cpu;
    std::vector<double> thumbs;
    for (int i = 0; i < rounds; ++i) {
      const int before = sink.saves;
      SpawnRequest owner;
      owner.path = BRIMVALE_SELECTION_OWNER;
      owner.args = {std::string(kind) == "text"
                        ? "UTF8_STRING=round " + std::to_string(i) + " of the bench"
                        : "image/png=@" + images[i % 2]};
      owner.envAdditions = {{"DISPLAY", display.name()}};
      auto started = spawn(owner);
      if (!started) return 1;
      if (!loop.runUntil([&] { return sink.saves > before; })) {
        std::fprintf(stderr, "round %d of %s was not saved\n", i, kind);
        return 1;
      }
      ms.push_back(std::chrono::duration<double, std::milli>(sink.savedAt - heardAt).count());
      cpu.push_back(sink.cpuAtSave - cpuAtCheck);
      reading.push_back(std::chrono::duration<double, std::milli>(sink.handedAt - heardAt).count());
      if (std::string(kind) == "image") {
        store.waitForThumbnails();
        thumbs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - sink.savedAt).count());
      }
      ::kill(started->pid, SIGTERM);
      ::waitpid(started->pid, nullptr, 0);
    }
    report(kind, ms, reading, cpu, thumbs);
  }
  return 0;
}
