// Looks at state files other programs write (the drive transfer's job, the
// app-move records) once a second, but only while a page has the event
// stream open, so an idle dashboard reads nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "web/event_stream.h"

namespace brimvale::app {

class StatePoller {
 public:
  explicit StatePoller(const web::EventStream& events,
                       std::chrono::milliseconds interval = std::chrono::seconds(1));
  // Stops the thread; a look under way finishes first.
  ~StatePoller();
  StatePoller(const StatePoller&) = delete;
  StatePoller& operator=(const StatePoller&) = delete;

  // Adds a look, run on the poller's thread; call before start().
  void add(std::function<void()> look);
  void start();
  void stop();

 private:
  const web::EventStream& events_;
  std::chrono::milliseconds interval_;
  std::vector<std::function<void()>> looks_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// Names, sizes and modification times of the files in `folder`, in name
// order: a look at an unchanged folder of records costs one listing.
std::string folderListing(const std::filesystem::path& folder);

}  // namespace brimvale::app
