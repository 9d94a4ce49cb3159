// Makes and writes image thumbnails on a thread of its own, so that scaling
// (the slowest part of saving an image) never delays a capture.
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "junk/junk_image.h"

namespace brimvale::junk {

class JunkThumbnailer {
 public:
  using Log = std::function<void(const std::string&)>;

  explicit JunkThumbnailer(Log log = {});
  // Finishes every thumbnail asked for: a command that saves an image and
  // ends leaves its thumbnail written.
  ~JunkThumbnailer();
  JunkThumbnailer(const JunkThumbnailer&) = delete;
  JunkThumbnailer& operator=(const JunkThumbnailer&) = delete;

  // Writes the thumbnail of `image` to `path` later, in the order asked.
  void post(JunkDecodedImage image, std::filesystem::path path);
  // Returns once every thumbnail posted so far is written (or has failed).
  void wait();
  // Drops the thumbnail for `path` if it is still waiting, or waits for it
  // if it is being written: a deletion that follows finds it in place.
  void cancel(const std::filesystem::path& path);

 private:
  struct Job {
    JunkDecodedImage image;
    std::filesystem::path path;
  };
  void run();

  Log log_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  std::filesystem::path writing_;  // empty when idle
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace brimvale::junk
