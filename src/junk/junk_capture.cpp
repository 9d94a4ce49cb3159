#include "junk/junk_capture.h"

#include <algorithm>

#include "junk/junk_image.h"

namespace brimvale::junk {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string displayNameOf(const std::string& path) {
  std::string_view view = path;
  while (view.size() > 1 && view.back() == '/') view.remove_suffix(1);
  const auto slash = view.rfind('/');
  if (slash == std::string_view::npos || view.size() == 1) return std::string(view);
  return std::string(view.substr(slash + 1));
}

std::string trimmedText(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

CaptureOutcome JunkCapture::capture(JunkSource source, int maxFilesPerScrap) {
  // An offer whose types cannot be read may be a marked one: it is left alone.
  const auto offered = clipboard_.types();
  if (!offered || platform::isPrivateOffer(*offered)) return CaptureOutcome::kPrivate;
  const std::vector<std::string>& types = *offered;
  if (std::find(types.begin(), types.end(), platform::kCopyBackType) != types.end())
    return CaptureOutcome::kOwnCopy;

  ScrapContent content;
  content.source = source;
  if (auto paths = clipboard_.filePaths(); !paths.empty()) {
    if (paths.size() > static_cast<std::size_t>(maxFilesPerScrap))
      return CaptureOutcome::kTooManyFiles;
    const auto signature = JunkSignature::ofFiles(paths);
    if (paths.size() == 1) {
      content.kind = JunkKind::kFileRef;
      content.fileRefPath = paths.front();
      content.fileRefName = displayNameOf(paths.front());
    } else {
      content.kind = JunkKind::kFileGroup;
      for (auto& path : paths) content.files.push_back({path, displayNameOf(path)});
    }
    return save(signature, std::move(content));
  }
  if (auto image = clipboard_.image(types)) {
    const auto size = junkImageSize(*image);
    if (size) {
      content.kind = JunkKind::kImage;
      content.imageBytes = std::move(*image);
      return save(JunkSignature::ofImage(static_cast<std::uint32_t>(size->first),
                                         static_cast<std::uint32_t>(size->second)),
                  std::move(content));
    }
  }
  auto text = clipboard_.text();
  if (!text) return CaptureOutcome::kNothing;
  std::string trimmed = trimmedText(*text);
  if (trimmed.empty()) return CaptureOutcome::kNothing;
  // Text becomes rich text when its owner offers a rich form beside it (a
  // browser's or an editor's copy); the plain text stays the fallback.
  auto rich = clipboard_.richText(types);
  content.kind = rich.empty() ? JunkKind::kText : JunkKind::kRichText;
  content.richHTML = std::move(rich.html);
  content.richRTFDBase64 = std::move(rich.rtfdBase64);
  const auto signature = JunkSignature::ofText(trimmed);
  content.plainText = std::move(trimmed);
  return save(signature, std::move(content));
}

CaptureOutcome JunkCapture::save(const JunkSignature& signature, ScrapContent content) {
  if (last_ == signature) return CaptureOutcome::kRepeat;
  if (!sink_.addScrap(std::move(content))) return CaptureOutcome::kNotSaved;
  last_ = signature;
  return CaptureOutcome::kSaved;
}

}  // namespace brimvale::junk
