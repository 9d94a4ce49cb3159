#include "web/event_stream.h"

namespace brimvale::web {

void EventStream::publish(std::string_view name, std::string data) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back({nextId_++, std::string(name), std::move(data)});
    if (events_.size() > kKept) events_.pop_front();
  }
  changed_.notify_all();
}

std::uint64_t EventStream::latest() const {
  std::lock_guard lock(mutex_);
  return nextId_ - 1;
}

std::vector<StreamEvent> EventStream::after(std::uint64_t after,
                                            std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return closed_ || nextId_ - 1 > after; });
  std::vector<StreamEvent> found;
  if (closed_) return found;
  for (const auto& e : events_) {
    if (e.id > after) found.push_back(e);
  }
  return found;
}

void EventStream::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

bool EventStream::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool EventStream::watcherJoined(const std::string& session) {
  std::lock_guard lock(mutex_);
  int& ofSession = watchersOf_[session];
  if (ofSession >= kStreamsPerSession || watchers_ >= kMostStreams) {
    if (ofSession == 0) watchersOf_.erase(session);
    return false;
  }
  ++ofSession;
  ++watchers_;
  return true;
}

void EventStream::watcherLeft(const std::string& session) {
  std::lock_guard lock(mutex_);
  const auto it = watchersOf_.find(session);
  if (it == watchersOf_.end()) return;
  if (--it->second == 0) watchersOf_.erase(it);
  --watchers_;
}

int EventStream::watchers() const {
  std::lock_guard lock(mutex_);
  return watchers_;
}

std::string wireFormat(const StreamEvent& event) {
  std::string out = "id: " + std::to_string(event.id) + "\nevent: " + event.name + "\n";
  std::size_t start = 0;
  while (true) {
    const std::size_t end = event.data.find_first_of("\r\n", start);
    out += "data: " + event.data.substr(start, end - start) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out + "\n";
}

}  // namespace brimvale::web
