// The dashboard's front door: accepts connections on 127.0.0.1 and reads each
// request, head and body, on one thread with non-blocking sockets, so a slow
// or silent client holds a socket (until its deadline), never a server thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/base/error.h"

namespace brimvale::web {

// How long a connection may take to deliver a whole request, counted from its
// accept or from the answer to its previous request. Browsers send a request
// at once; this only ends connections that trickle or sit idle.
inline constexpr std::chrono::seconds kRequestDeadline{10};
// Connections waiting for their request at once; one more closes the oldest.
// Keeps a flood from using up the process's file descriptors.
inline constexpr std::size_t kMostWaiting = 256;
// A longer request head is refused: a browser's is about a kilobyte, even
// with the cookies other local sites leave for 127.0.0.1.
inline constexpr std::size_t kLargestHead = 32 * 1024;

// A file descriptor, closed when dropped.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept;
  ~OwnedFd();
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// A client's connection: the one request the gate read whole, and what came
// after it (the start of the next one).
struct Connection {
  OwnedFd socket;
  std::string request;
  std::string unread;
};

class RequestGate {
 public:
  // Called on the gate's thread with each connection whose request arrived
  // whole; must not block.
  using Deliver = std::function<void(Connection)>;

  // Bodies longer than `largestBody` are refused, as are requests that don't
  // state their body's length.
  RequestGate(std::chrono::milliseconds deadline, std::size_t largestBody, Deliver deliver);
  ~RequestGate();
  RequestGate(const RequestGate&) = delete;
  RequestGate& operator=(const RequestGate&) = delete;

  // Listens on a free port of 127.0.0.1; the port. Connections queue until start().
  [[nodiscard]] Result<int> open();
  void start();
  // Takes back an answered connection to wait for its next request; once
  // stopped, closes it. Thread-safe.
  void takeBack(Connection connection);
  // Closes the port and every waiting connection. Safe to repeat.
  void stop();

 private:
  struct Waiting {
    Connection connection;
    std::chrono::steady_clock::time_point deadline;
  };
  using WaitingList = std::list<Waiting>;

  void run();
  [[nodiscard]] bool takeReturned();
  void acceptNew();
  void admit(Connection connection);
  void readFrom(int fd);
  void examine(WaitingList::iterator it);
  void drop(WaitingList::iterator it);
  void closeOverdue();
  [[nodiscard]] int millisecondsToNextDeadline() const;

  std::chrono::milliseconds deadline_;
  std::size_t largestBody_;
  Deliver deliver_;
  OwnedFd listener_;
  OwnedFd epoll_;
  OwnedFd wake_;
  std::thread thread_;
  // Oldest first, which is also soonest deadline first.
  WaitingList waiting_;
  std::unordered_map<int, WaitingList::iterator> byFd_;

  std::mutex mutex_;
  std::vector<Connection> returned_;
  bool stopping_ = false;
};

}  // namespace brimvale::web
