// Live progress for the dashboard: engines publish named events, and each
// open Server-Sent Events connection waits for the ones after the last it sent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::web {

struct StreamEvent {
  std::uint64_t id = 0;
  std::string name;  // the SSE "event:" field
  std::string data;  // one line of JSON
};

// Thread-safe. Keeps only the most recent events, so a connection that falls
// far behind skips ahead rather than holding memory.
class EventStream {
 public:
  static constexpr std::size_t kKept = 256;
  // Open connections one session may hold. A browser opens one per page and
  // keeps a closed page's for a heartbeat or two, so quick page changes stay
  // well below this; a script that keeps opening them stops here.
  static constexpr int kStreamsPerSession = 16;
  // Open connections in all, whatever the session: each holds a server thread.
  static constexpr int kMostStreams = 32;

  void publish(std::string_view name, std::string data);
  // The id of the newest event (0 before the first): where a new connection starts.
  [[nodiscard]] std::uint64_t latest() const;
  // The kept events after `after`, waiting up to `timeout` for one to come.
  // Empty on time-out or once closed.
  [[nodiscard]] std::vector<StreamEvent> after(std::uint64_t after,
                                               std::chrono::milliseconds timeout) const;
  // Wakes every waiting connection so the server can stop.
  void close();
  [[nodiscard]] bool closed() const;

  // Open connections, so pollers of state files run only while a page
  // listens. A connection beyond kStreamsPerSession for its session or
  // beyond kMostStreams in all is not let in: false, and nothing counted.
  [[nodiscard]] bool watcherJoined(const std::string& session);
  void watcherLeft(const std::string& session);
  [[nodiscard]] int watchers() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<StreamEvent> events_;
  std::uint64_t nextId_ = 1;
  bool closed_ = false;
  int watchers_ = 0;
  std::map<std::string, int, std::less<>> watchersOf_;  // by session, only those with some
};

// One event in the wire format: "id: N\nevent: NAME\ndata: DATA\n\n". Line
// breaks inside `data` would end the field early, so each becomes its own
// "data:" line, as the format joins them back.
[[nodiscard]] std::string wireFormat(const StreamEvent& event);

}  // namespace brimvale::web
