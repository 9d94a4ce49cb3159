#include "app/dashboard/dashboard_poller.h"

#include <algorithm>

namespace brimvale::app {

StatePoller::StatePoller(const web::EventStream& events, std::chrono::milliseconds interval)
    : events_(events), interval_(interval) {}

StatePoller::~StatePoller() { stop(); }

void StatePoller::add(std::function<void()> look) { looks_.push_back(std::move(look)); }

void StatePoller::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
      if (events_.watchers() == 0) continue;
      lock.unlock();
      for (const auto& look : looks_) look();
      lock.lock();
    }
  });
}

void StatePoller::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string folderListing(const std::filesystem::path& folder) {
  std::error_code ec;
  std::vector<std::string> rows;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code statError;
    const auto size = it->file_size(statError);
    const auto time = it->last_write_time(statError);
    rows.push_back(it->path().filename().string() + " " + std::to_string(size) + " " +
                   std::to_string(time.time_since_epoch().count()));
  }
  std::ranges::sort(rows);
  std::string listing;
  for (const auto& row : rows) listing += row + "\n";
  return listing;
}

}  // namespace brimvale::app
