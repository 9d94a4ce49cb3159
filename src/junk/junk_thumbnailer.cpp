#include "junk/junk_thumbnailer.h"

#include <algorithm>
#include <string_view>

#include "common/base/file_io.h"

namespace brimvale::junk {
namespace {

// The media folder may have been swapped for a link since the image was
// saved; nothing is written through it.
Result<void> writeInRealFolder(const std::filesystem::path& path, std::string_view bytes) {
  std::error_code ec;
  if (std::filesystem::symlink_status(path.parent_path(), ec).type() !=
      std::filesystem::file_type::directory)
    return fail(Errc::kIo,
                path.parent_path().string() + " is not a folder (a link or a file is there)");
  return writeFileAtomically(path, bytes);
}

}  // namespace

JunkThumbnailer::JunkThumbnailer(Log log) : log_(std::move(log)), thread_([this] { run(); }) {}

JunkThumbnailer::~JunkThumbnailer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void JunkThumbnailer::post(JunkDecodedImage image, std::filesystem::path path) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back({std::move(image), std::move(path)});
  }
  changed_.notify_all();
}

void JunkThumbnailer::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return jobs_.empty() && writing_.empty(); });
}

void JunkThumbnailer::cancel(const std::filesystem::path& path) {
  std::unique_lock lock(mutex_);
  std::erase_if(jobs_, [&](const Job& job) { return job.path == path; });
  changed_.wait(lock, [&] { return writing_ != path; });
}

void JunkThumbnailer::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    // Pending jobs are finished before stopping.
    if (jobs_.empty()) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    writing_ = job.path;
    lock.unlock();
    auto thumb = makeJunkThumbnail(job.image);
    Result<void> wrote =
        thumb ? writeInRealFolder(job.path,
                                  std::string_view(reinterpret_cast<const char*>(thumb->png.data()),
                                                   thumb->png.size()))
              : Result<void>(std::unexpected(thumb.error()));
    // The card shows no picture then; the image itself is saved.
    if (!wrote && log_)
      log_("junk: the thumbnail " + job.path.string() +
           " was not written: " + wrote.error().message());
    lock.lock();
    writing_.clear();
    changed_.notify_all();
  }
}

}  // namespace brimvale::junk
