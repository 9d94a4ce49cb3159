#include "app/core/junk_copy_back.h"

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

Result<void> offerFromBackground(platform::ProcessLauncher& launcher,
                                 const platform::ClipboardOffer& offer) {
  // The holder reports "1" once it owns the clipboard, or its reason. It
  // serves the offer this process already holds, so it is forked, not started.
  auto answer = launcher.startDetached([&offer](const auto& report) {
    auto clipboard = platform::X11Clipboard::open("");
    const std::string ready = clipboard
                                  ? ((*clipboard)->write(offer) ? "1" : "the X server refused it")
                                  : clipboard.error().detail;
    report(ready);
    if (ready == "1") (*clipboard)->waitUntilReplaced();
  });
  if (!answer) return std::unexpected(answer.error());
  if (*answer == "1") return {};
  return fail(Errc::kUnavailable, answer->empty() ? "the clipboard holder ended early" : *answer);
}

}  // namespace brimvale::app
