#include "app/core/junk_copy_back.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/base/file_io.h"
#include "platform/linux/x11_clipboard.h"

namespace brimvale::app {

Result<platform::ClipboardOffer> junkClipboardOffer(const junk::JunkItem& item,
                                                    const std::filesystem::path& mediaDir) {
  platform::ClipboardOffer offer;
  switch (item.kind) {
    case junk::JunkKind::kText: offer.text = item.plainText.value_or(""); break;
    case junk::JunkKind::kRichText:
      offer.text = item.plainText.value_or("");
      offer.rich.html = item.richHTML.value_or("");
      offer.rich.rtfdBase64 = item.richRTFDBase64.value_or("");
      break;
    case junk::JunkKind::kFileRef:
    case junk::JunkKind::kFileGroup:
      if (item.fileRefPath) offer.filePaths.push_back(*item.fileRefPath);
      for (const auto& file : item.files.value_or(std::vector<junk::JunkFile>{}))
        offer.filePaths.push_back(file.path);
      // Where files cannot be pasted (a terminal), their paths can.
      for (const auto& path : offer.filePaths)
        offer.text += (offer.text.empty() ? "" : "\n") + path;
      break;
    case junk::JunkKind::kImage: {
      if (!item.mediaFile) return fail(Errc::kNotFound, "the scrap has no image file");
      auto bytes = readFile(mediaDir / *item.mediaFile);
      if (!bytes) return std::unexpected(bytes.error());
      offer.png.assign(bytes->begin(), bytes->end());
      break;
    }
  }
  return offer;
}

Result<void> offerFromBackground(const platform::ClipboardOffer& offer) {
  // The holder reports "1" once it owns the clipboard, or its reason.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return std::unexpected(errnoError("pipe", errno));
  // Forked before any thread of this process exists; the holder never execs
  // because it only serves the offer this process already holds.
  const pid_t child = ::fork();
  if (child < 0) return std::unexpected(errnoError("fork", errno));
  if (child == 0) {
    ::close(report[0]);
    ::setsid();
    // A second fork, so the command does not leave a child to reap.
    if (::fork() != 0) ::_exit(0);
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd : {0, 1, 2}) ::dup2(null, fd);
    auto clipboard = platform::X11Clipboard::open("");
    std::string answer = clipboard ? ((*clipboard)->write(offer) ? "1" : "the X server refused it")
                                   : clipboard.error().detail;
    [[maybe_unused]] auto n = ::write(report[1], answer.data(), answer.size());
    ::close(report[1]);
    if (answer == "1") (*clipboard)->waitUntilReplaced();
    ::_exit(0);
  }
  ::close(report[1]);
  ::waitpid(child, nullptr, 0);
  std::string answer;
  char buffer[256];
  ssize_t n = 0;
  while ((n = ::read(report[0], buffer, sizeof buffer)) > 0) answer.append(buffer, n);
  ::close(report[0]);
  if (answer == "1") return {};
  return fail(Errc::kUnavailable, answer.empty() ? "the clipboard holder ended early" : answer);
}

}  // namespace brimvale::app
