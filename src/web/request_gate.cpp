#include "web/request_gate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <iterator>
#include <optional>
#include <string_view>

namespace brimvale::web {
namespace {

using SteadyClock = std::chrono::steady_clock;

// New connections taken per wake-up, so the ones already waiting are read
// before a burst of newcomers can push them out.
constexpr int kAcceptsPerWake = 32;
constexpr std::size_t kReadChunk = 16 * 1024;
// With no descriptor left and no waiting connection to close for one, the
// gate pauses this long rather than spin on a port it cannot accept from.
constexpr std::chrono::milliseconds kOutOfDescriptorsPause{50};

// A request the gate answers itself and closes.
struct Refusal {
  std::string_view status;
  std::string_view sentence;
};

constexpr Refusal kTooSlow{"408 Request Timeout",
                           "The request took too long to arrive, so the connection was closed. "
                           "Nothing was changed; reload the page."};
constexpr Refusal kUnreadable{"400 Bad Request",
                              "The request couldn't be read, so it was refused. Nothing was "
                              "changed; reload the page and try again."};
constexpr Refusal kNoLength{"411 Length Required",
                            "The request didn't say how long its body is, so it was refused. "
                            "Nothing was changed."};
constexpr Refusal kBodyTooLarge{
    "413 Payload Too Large", "The request is too large, so it was refused. Nothing was changed."};
constexpr Refusal kHeadTooLarge{"431 Request Header Fields Too Large",
                                "The request's headers are too long, so it was refused. Nothing "
                                "was changed."};

// Best effort: the client may be gone or not reading.
void refuse(int fd, const Refusal& refusal) {
  const std::string reply = "HTTP/1.1 " + std::string(refusal.status) +
                            "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                            std::to_string(refusal.sentence.size()) +
                            "\r\nConnection: close\r\n\r\n" + std::string(refusal.sentence);
  (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// How much of a request `bytes` holds.
struct Arrival {
  std::size_t complete = 0;  // the whole request's size, once it is all there
  std::optional<Refusal> refusal;
};

// Reads the body's length the way the server behind the gate will, and
// refuses whatever the two could read differently (a bare line feed, which
// it skips as a line; a repeated or unusual length; a chunked body), so the
// gate always hands over exactly one whole request.
Arrival arrival(std::string_view bytes, std::size_t largestBody) {
  const std::size_t end = bytes.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    return bytes.size() > kLargestHead ? Arrival{.refusal = kHeadTooLarge} : Arrival{};
  }
  const std::size_t headSize = end + 4;
  if (headSize > kLargestHead) return {.refusal = kHeadTooLarge};
  const std::string_view head = bytes.substr(0, headSize);
  for (std::size_t at = head.find('\n'); at != std::string_view::npos;
       at = head.find('\n', at + 1)) {
    if (at == 0 || head[at - 1] != '\r') return {.refusal = kUnreadable};
  }
  std::optional<std::size_t> length;
  for (std::size_t start = head.find("\r\n") + 2; start < end;) {
    const std::size_t stop = head.find("\r\n", start);
    const std::string_view line = head.substr(start, stop - start);
    start = stop + 2;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    if (sameName(name, "Transfer-Encoding")) return {.refusal = kNoLength};
    if (!sameName(name, "Content-Length")) continue;
    const std::string_view value = trimmed(line.substr(colon + 1));
    std::size_t parsed = 0;
    const auto [rest, problem] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (length || value.empty() || problem != std::errc{} || rest != value.data() + value.size()) {
      return {.refusal = kUnreadable};
    }
    length = parsed;
  }
  if (length.value_or(0) > largestBody) return {.refusal = kBodyTooLarge};
  const std::size_t size = headSize + length.value_or(0);
  return {.complete = bytes.size() >= size ? size : 0, .refusal = std::nullopt};
}

}  // namespace

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

OwnedFd::~OwnedFd() {
  if (fd_ >= 0) ::close(fd_);
}

RequestGate::RequestGate(std::chrono::milliseconds deadline, std::size_t largestBody,
                         Deliver deliver)
    : deadline_(deadline), largestBody_(largestBody), deliver_(std::move(deliver)) {}

RequestGate::~RequestGate() { stop(); }

Result<int> RequestGate::open() {
  listener_ = OwnedFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (listener_.get() < 0) return std::unexpected(errnoError("dashboard socket", errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t size = sizeof address;
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), SOMAXCONN) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return std::unexpected(errnoError("no free port on 127.0.0.1 for the dashboard", errno));
  }
  epoll_ = OwnedFd(::epoll_create1(EPOLL_CLOEXEC));
  wake_ = OwnedFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (epoll_.get() < 0 || wake_.get() < 0) {
    return std::unexpected(errnoError("dashboard event queue", errno));
  }
  for (const int fd : {listener_.get(), wake_.get()}) {
    epoll_event watch{.events = EPOLLIN, .data = {.fd = fd}};
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &watch) != 0) {
      return std::unexpected(errnoError("dashboard event queue", errno));
    }
  }
  return ntohs(address.sin_port);
}

void RequestGate::start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void RequestGate::takeBack(Connection connection) {
  connection.request = std::string();
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    returned_.push_back(std::move(connection));
  }
  const std::uint64_t one = 1;
  (void)::write(wake_.get(), &one, sizeof one);
}

void RequestGate::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    returned_.clear();
  }
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    (void)::write(wake_.get(), &one, sizeof one);
    thread_.join();
  }
  byFd_.clear();
  waiting_.clear();
  listener_ = OwnedFd();
}

void RequestGate::run() {
  std::array<epoll_event, 64> events{};
  while (true) {
    const int count =
        ::epoll_wait(epoll_.get(), events.data(), int(events.size()), millisecondsToNextDeadline());
    bool newcomers = false;
    for (int i = 0; i < count; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listener_.get()) {
        newcomers = true;
      } else if (fd == wake_.get()) {
        if (!takeReturned()) return;
      } else {
        readFrom(fd);
      }
    }
    if (newcomers) acceptNew();
    closeOverdue();
  }
}

bool RequestGate::takeReturned() {
  std::uint64_t count = 0;
  (void)::read(wake_.get(), &count, sizeof count);
  std::vector<Connection> returned;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    returned.swap(returned_);
  }
  for (auto& connection : returned) admit(std::move(connection));
  return true;
}

void RequestGate::acceptNew() {
  for (int taken = 0; taken < kAcceptsPerWake; ++taken) {
    OwnedFd socket(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (socket.get() >= 0) {
      admit({.socket = std::move(socket), .request = {}, .unread = {}});
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EMFILE || errno == ENFILE) {
      if (!waiting_.empty()) {
        drop(waiting_.begin());
        continue;
      }
      std::this_thread::sleep_for(kOutOfDescriptorsPause);
    }
    return;
  }
}

void RequestGate::admit(Connection connection) {
  if (waiting_.size() >= kMostWaiting) drop(waiting_.begin());
  const int fd = connection.socket.get();
  epoll_event watch{.events = EPOLLIN, .data = {.fd = fd}};
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &watch) != 0) return;
  waiting_.push_back({std::move(connection), SteadyClock::now() + deadline_});
  const auto it = std::prev(waiting_.end());
  byFd_.emplace(fd, it);
  // A connection handed back may already hold its next request.
  if (!it->connection.unread.empty()) examine(it);
}

void RequestGate::readFrom(int fd) {
  const auto found = byFd_.find(fd);
  if (found == byFd_.end()) return;
  const auto it = found->second;
  std::array<char, kReadChunk> chunk;
  const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got <= 0) {
    drop(it);
    return;
  }
  it->connection.unread.append(chunk.data(), std::size_t(got));
  examine(it);
}

void RequestGate::examine(WaitingList::iterator it) {
  const Arrival seen = arrival(it->connection.unread, largestBody_);
  if (seen.refusal) {
    refuse(it->connection.socket.get(), *seen.refusal);
    drop(it);
    return;
  }
  if (seen.complete == 0) return;
  const int fd = it->connection.socket.get();
  (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  Connection whole = std::move(it->connection);
  whole.request = whole.unread.substr(0, seen.complete);
  whole.unread.erase(0, seen.complete);
  byFd_.erase(fd);
  waiting_.erase(it);
  deliver_(std::move(whole));
}

void RequestGate::drop(WaitingList::iterator it) {
  byFd_.erase(it->connection.socket.get());
  waiting_.erase(it);
}

void RequestGate::closeOverdue() {
  const auto now = SteadyClock::now();
  while (!waiting_.empty() && waiting_.front().deadline <= now) {
    refuse(waiting_.front().connection.socket.get(), kTooSlow);
    drop(waiting_.begin());
  }
}

int RequestGate::millisecondsToNextDeadline() const {
  if (waiting_.empty()) return -1;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(waiting_.front().deadline - SteadyClock::now());
  return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

}  // namespace brimvale::web
