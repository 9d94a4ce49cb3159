// The dashboard under load, absolute figures: the real `brimvale run` in a
// temporary home, signed in once; 80 event streams of that one session (all
// but the per-session cap must get 503); 400 slow clients that each hold a
// half-open connection, send one more byte of their request line every
// second and, once the server closes it, come back half a second later;
// meanwhile the home page is requested over fresh connections, four at a
// time, spread over a steady stretch of that churn. Prints the latencies
// and the server's resident memory with their targets, then lets the slow
// clients go and checks that the server still closes what they hold.
// Usage: dashboard_load [page requests]   (default 500)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/base/file_io.h"
#include "common/base/process.h"
#include "common/base/spawn.h"
#include "web/event_stream.h"

namespace fs = std::filesystem;
using namespace brimvale;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kSlowClients = 400;
constexpr int kStreams = 80;
constexpr int kAtOnce = 4;
constexpr double kP95TargetMs = 200;
constexpr double kMemoryTargetMib = 64;
// The server holds fewer waiting connections than there are slow clients and
// closes the oldest for each newcomer, so the slow clients keep it busy
// accepting and closing; the page requests are spread over this long of it.
constexpr auto kMeasuredSpan = 12s;
constexpr auto kReconnectPause = 500ms;
// A slow connection the server still holds this long after it opened means
// the request deadline no longer holds.
constexpr auto kLongestHold = 12s;

// Ends the measurement; unwinding stops `brimvale run` and removes its home.
[[noreturn]] void fail(const std::string& sentence) { throw std::runtime_error(sentence); }

double msSince(SteadyClock::time_point start) {
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// VmRSS and VmHWM of a running process, in KiB.
struct Memory {
  long rss = 0;
  long peak = 0;
};

Memory memoryOf(int pid) {
  Memory m;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("VmRSS:")) m.rss = std::atol(line.c_str() + 6);
    if (line.starts_with("VmHWM:")) m.peak = std::atol(line.c_str() + 6);
  }
  return m;
}

// A connected socket, or -1 when the server did not take the connection.
int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(std::uint16_t(port));
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(std::size_t(sent));
  }
  return true;
}

struct Answer {
  int status = 0;
  std::string head;
  std::string body;
};

// Reads one answer; with `headOnly`, stops after the head (an event stream
// never ends). Status 0 when the connection ended early or stayed silent 10 s.
Answer readAnswer(int fd, bool headOnly) {
  std::string bytes;
  std::size_t headEnd = std::string::npos;
  std::size_t wanted = std::string::npos;
  std::array<char, 16 * 1024> chunk{};
  while (true) {
    if (headEnd == std::string::npos && (headEnd = bytes.find("\r\n\r\n")) != std::string::npos) {
      headEnd += 4;
      if (headOnly) break;
      const std::size_t at = bytes.find("Content-Length: ");
      if (at == std::string::npos || at > headEnd) return {};
      wanted = headEnd + std::strtoul(bytes.c_str() + at + 16, nullptr, 10);
    }
    if (bytes.size() >= wanted) break;
    pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
    if (::poll(&ready, 1, 10000) <= 0) return {};
    const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (got <= 0) return {};
    bytes.append(chunk.data(), std::size_t(got));
  }
  Answer a;
  if (bytes.starts_with("HTTP/1.1 ")) a.status = std::atoi(bytes.c_str() + 9);
  a.head = bytes.substr(0, headEnd);
  a.body = bytes.substr(headEnd);
  return a;
}

// One request over a fresh connection, closed after the answer.
Answer requestOnce(int port, const std::string& request) {
  const int fd = connectTo(port);
  if (fd < 0) return {};
  Answer a = sendAll(fd, request) ? readAnswer(fd, false) : Answer{};
  ::close(fd);
  return a;
}

std::string between(const std::string& text, std::string_view before, char after) {
  const std::size_t start = text.find(before);
  if (start == std::string::npos) return {};
  const std::size_t from = start + before.size();
  return text.substr(from, text.find(after, from) - from);
}

// `brimvale run` in a temporary home, until destroyed.
class RunningApp {
 public:
  explicit RunningApp(fs::path home) : home_(std::move(home)) {
    fs::create_directories(home_ / ".brimvale" / "state");
    (void)writeFileAtomically(
        home_ / ".brimvale" / "brim-vale.conf",
        "NVMe=\"" + (home_ / "absent-drive").string() + "\"\nRULES=()\nAPP_CACHE_PATHS=()\n");
    auto started = spawn({.path = BRIMVALE_PATH,
                          .args = {"run"},
                          .envAdditions = {{"HOME", home_.string()}},
                          .stdoutTo = OutputTarget::truncate((home_ / "run.out").string()),
                          .stderrTo = OutputTarget::append((home_ / "run.out").string()),
                          .parentDeathSignal = SIGTERM});
    if (!started) fail("could not start brimvale run: " + started.error().message());
    pid_ = started->pid;
  }

  ~RunningApp() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (auto until = SteadyClock::now() + 20s;
         ::waitpid(pid_, &status, WNOHANG) == 0 && SteadyClock::now() < until;) {
      std::this_thread::sleep_for(50ms);
    }
    // Whatever is left, the service included.
    (void)runProcess(
        {.path = BRIMVALE_PATH, .args = {"stop"}, .envAdditions = {{"HOME", home_.string()}}});
    ::waitpid(pid_, &status, 0);
  }

  [[nodiscard]] int pid() const { return pid_; }

  // The dashboard's port, once it is serving.
  [[nodiscard]] int port() const {
    const fs::path url = home_ / ".brimvale" / "state" / "dashboard.url";
    for (auto until = SteadyClock::now() + 60s; SteadyClock::now() < until;) {
      if (auto text = readFile(url); text && !text->empty()) {
        return std::atoi(between(*text, "127.0.0.1:", '/').c_str());
      }
      std::this_thread::sleep_for(100ms);
    }
    const auto said = readFile(home_ / "run.out");
    fail("the dashboard did not start within 60 s; brimvale run said:\n" + said.value_or(""));
  }

  // A session key, signed in the way the one-time page does it.
  [[nodiscard]] std::string signIn(int port) const {
    const ProcessResult opened = runProcess({.path = BRIMVALE_PATH,
                                             .args = {"open", "--no-browser"},
                                             .envAdditions = {{"HOME", home_.string()}}});
    std::string page = opened.out;
    while (!page.empty() && page.back() == '\n') page.pop_back();
    const auto form = readFile(page);
    const std::string token = form ? between(*form, "name=\"token\" value=\"", '"') : "";
    if (!opened.succeeded() || token.empty()) fail("brimvale open gave no sign-in page.");
    const std::string body = "token=" + token;
    const Answer a = requestOnce(
        port, "POST /session HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                  "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    const std::string key = between(a.head, "brimvale_session=", ';');
    if (a.status != 200 || key.empty()) fail("signing in was refused.");
    return key;
  }

 private:
  fs::path home_;
  int pid_ = -1;
};

// Clients that open a connection, send the start of a request line and then
// one more byte a second, never finishing it.
class SlowClients {
 public:
  explicit SlowClients(int port) : port_(port), clients_(kSlowClients) {
    for (auto& c : clients_) open(c);
    thread_ = std::thread([this] { run(); });
  }

  // From now on a closed connection is not opened again.
  void letGo() { lettingGo_ = true; }

  // Waits until the server has closed every connection; false after `limit`.
  bool waitUntilAllClosed(std::chrono::seconds limit) {
    const auto until = SteadyClock::now() + limit;
    while (SteadyClock::now() < until) {
      if (openCount() == 0) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  ~SlowClients() {
    done_ = true;
    thread_.join();
    for (auto& c : clients_) {
      if (c.fd >= 0) ::close(c.fd);
    }
  }

  struct Tally {
    long opened = 0;
    long answered408 = 0;   // closed at the request deadline, with a 408
    long closedSilent = 0;  // closed without an answer (over the server's limit of waiting ones)
    double longestHeldMs = 0;
  };
  [[nodiscard]] Tally tally() {
    std::lock_guard lock(mutex_);
    return tally_;
  }

 private:
  struct Client {
    int fd = -1;
    SteadyClock::time_point openedAt;
    SteadyClock::time_point reopenAt;
  };

  int openCount() {
    std::lock_guard lock(mutex_);
    return open_;
  }

  void open(Client& c) {
    c.fd = connectTo(port_);
    c.openedAt = SteadyClock::now();
    c.reopenAt = c.openedAt + kReconnectPause;
    if (c.fd < 0) return;
    (void)::send(c.fd, "GET /a", 6, MSG_NOSIGNAL | MSG_DONTWAIT);
    std::lock_guard lock(mutex_);
    ++tally_.opened;
    ++open_;
  }

  void closedByServer(Client& c) {
    std::array<char, 512> answer{};
    const ssize_t got = ::recv(c.fd, answer.data(), answer.size(), MSG_DONTWAIT);
    const bool timedOut = got > 12 && std::string_view(answer.data(), 12) == "HTTP/1.1 408";
    ::close(c.fd);
    c.fd = -1;
    c.reopenAt = SteadyClock::now() + kReconnectPause;
    std::lock_guard lock(mutex_);
    --open_;
    ++(timedOut ? tally_.answered408 : tally_.closedSilent);
    tally_.longestHeldMs = std::max(tally_.longestHeldMs, msSince(c.openedAt));
  }

  void run() {
    auto nextByte = SteadyClock::now() + 1s;
    std::vector<pollfd> watched;
    std::vector<Client*> owners;
    while (!done_) {
      watched.clear();
      owners.clear();
      for (auto& c : clients_) {
        if (c.fd < 0) continue;
        watched.push_back({.fd = c.fd, .events = POLLIN, .revents = 0});
        owners.push_back(&c);
      }
      (void)::poll(watched.data(), watched.size(), 50);
      for (std::size_t i = 0; i < watched.size(); ++i) {
        if (watched[i].revents != 0) closedByServer(*owners[i]);
      }
      const auto now = SteadyClock::now();
      for (auto& c : clients_) {
        if (c.fd < 0 && !lettingGo_ && now >= c.reopenAt) open(c);
      }
      if (now >= nextByte) {
        for (auto& c : clients_) {
          if (c.fd >= 0) (void)::send(c.fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        nextByte = now + 1s;
      }
    }
  }

  int port_;
  std::vector<Client> clients_;
  std::atomic<bool> lettingGo_ = false;
  std::atomic<bool> done_ = false;
  std::mutex mutex_;
  Tally tally_;
  int open_ = 0;
  std::thread thread_;
};

// The event streams: how many the server let in, and a thread that reads
// them until they are closed.
class Streams {
 public:
  Streams(int port, const std::string& request) {
    for (int i = 0; i < kStreams; ++i) {
      const int fd = connectTo(port);
      const Answer a =
          fd >= 0 && sendAll(fd, request) ? readAnswer(fd, /*headOnly=*/true) : Answer{};
      if (a.status == 200) {
        open_.push_back(fd);
        ++accepted_;
        continue;
      }
      a.status == 503 ? ++refused_ : ++other_;
      if (fd >= 0) ::close(fd);
    }
    reader_ = std::thread([this] {
      std::array<char, 4096> sink{};
      std::vector<pollfd> watched;
      for (const int fd : open_) watched.push_back({.fd = fd, .events = POLLIN, .revents = 0});
      while (!done_) {
        if (::poll(watched.data(), watched.size(), 50) <= 0) continue;
        for (auto& w : watched) {
          if (w.revents == 0) continue;
          const ssize_t got = ::recv(w.fd, sink.data(), sink.size(), MSG_DONTWAIT);
          if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            w.fd = -1;  // ended by the server; poll skips it
          }
        }
      }
    });
  }

  ~Streams() { closeAll(); }

  void closeAll() {
    if (reader_.joinable()) {
      done_ = true;
      reader_.join();
    }
    for (const int fd : open_) ::close(fd);
    open_.clear();
  }

  [[nodiscard]] int accepted() const { return accepted_; }
  [[nodiscard]] int refused() const { return refused_; }
  [[nodiscard]] int other() const { return other_; }

 private:
  std::vector<int> open_;
  int accepted_ = 0;
  int refused_ = 0;
  int other_ = 0;
  std::atomic<bool> done_ = false;
  std::thread reader_;
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

// Runs the whole measurement in `home`; true when a target was missed.
bool measure(const fs::path& home, int requests) {
  RunningApp app(home);
  const int port = app.port();
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const std::string cookie = "Cookie: brimvale_session=" + app.signIn(port) + "\r\n";
  const Memory idle = memoryOf(app.pid());

  SlowClients slow(port);
  Streams streams(
      port, "GET /api/events HTTP/1.1\r\n" + host + cookie + "Accept: text/event-stream\r\n\r\n");

  std::atomic<bool> sampling = true;
  long rssDuring = 0;
  std::thread sampler([&] {
    while (sampling) {
      rssDuring = std::max(rssDuring, memoryOf(app.pid()).rss);
      std::this_thread::sleep_for(20ms);
    }
  });

  const std::string page = "GET / HTTP/1.1\r\n" + host + cookie + "Connection: close\r\n\r\n";
  const auto gap = std::chrono::milliseconds(kMeasuredSpan) / (requests / kAtOnce);
  std::vector<double> latencies(std::size_t(requests), 0);
  std::atomic<int> failed = 0;
  std::vector<std::thread> loaders;
  for (int t = 0; t < kAtOnce; ++t) {
    loaders.emplace_back([&, t] {
      for (int i = t; i < requests; i += kAtOnce) {
        const auto start = SteadyClock::now();
        const Answer a = requestOnce(port, page);
        latencies[std::size_t(i)] = msSince(start);
        if (a.status != 200 || a.body.find("<html") == std::string::npos) ++failed;
        std::this_thread::sleep_until(start + gap);
      }
    });
  }
  for (auto& t : loaders) t.join();
  sampling = false;
  sampler.join();
  const SlowClients::Tally during = slow.tally();

  slow.letGo();
  const bool allClosed = slow.waitUntilAllClosed(15s);
  const SlowClients::Tally total = slow.tally();
  streams.closeAll();
  std::this_thread::sleep_for(3s);  // a closed stream is noticed at its next heartbeat
  const Memory after = memoryOf(app.pid());

  const double p50 = percentile(latencies, 0.50), p95 = percentile(latencies, 0.95);
  const double most = *std::max_element(latencies.begin(), latencies.end());
  std::printf(
      "event streams of one session: %d let in, %d answered 503, %d otherwise (of %d; "
      "cap %d)\n",
      streams.accepted(), streams.refused(), streams.other(), kStreams,
      web::EventStream::kStreamsPerSession);
  std::printf(
      "slow clients: %d at once, %ld connections opened while measuring; the server "
      "closed %ld with a 408 at the request deadline and %ld over its limit of waiting "
      "connections\n",
      kSlowClients, during.opened, during.answered408, during.closedSilent);
  std::printf(
      "home page, %d requests %d at a time over %lld s: p50 %.1f ms, p95 %.1f ms "
      "(target <= %.0f ms), max %.1f ms, %d failed\n",
      requests, kAtOnce, (long long)kMeasuredSpan.count(), p50, p95, kP95TargetMs, most,
      failed.load());
  std::printf(
      "brimvale run resident memory: %.1f MiB signed in and idle, %.1f MiB at most under "
      "load, %.1f MiB after; peak (VmHWM) %.1f MiB (target < %.0f MiB)\n",
      idle.rss / 1024.0, rssDuring / 1024.0, after.rss / 1024.0, after.peak / 1024.0,
      kMemoryTargetMib);
  std::printf(
      "after letting the slow clients go: %s, %ld of them with a 408; the longest any "
      "was held %.1f s (limit %lld s)\n",
      allClosed ? "the server closed every one" : "some were still held after 15 s",
      total.answered408 - during.answered408, total.longestHeldMs / 1000,
      (long long)kLongestHold.count());

  return p95 > kP95TargetMs || failed > 0 || after.peak / 1024.0 >= kMemoryTargetMib ||
         streams.accepted() != web::EventStream::kStreamsPerSession ||
         streams.refused() != kStreams - streams.accepted() || !allClosed ||
         total.longestHeldMs > std::chrono::duration<double, std::milli>(kLongestHold).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(20, std::atoi(argv[1])) : 500;
  std::string home = (fs::temp_directory_path() / "brimvale-load-XXXXXX").string();
  if (::mkdtemp(home.data()) == nullptr) {
    std::perror("dashboard_load: mkdtemp");
    return 1;
  }
  int code = 1;
  try {
    const bool missed = measure(home, requests);
    std::printf("%s\n", missed ? "dashboard under load: a target was missed"
                               : "dashboard under load: every target met");
    code = missed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dashboard_load: %s\n", e.what());
  }
  std::error_code ec;
  fs::remove_all(home, ec);
  return code;
}
