// The scrap board's kinds and sources, and the one way captured content
// reaches the board: clipboard capture and hot keys hand a ScrapContent to a
// ScrapSink, which the board's store implements.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brimvale::junk {

// Persisted as "text", "richText", "image", "fileRef", "fileGroup".
enum class JunkKind { kText, kRichText, kImage, kFileRef, kFileGroup };
// Persisted as "clipboard", "hotkey", "manual".
enum class JunkSource { kClipboard, kHotkey, kManual };

// One file of a file group: an absolute path and its display name.
struct JunkFile {
  std::string path;
  std::string name;
};

// The content of one new scrap; which fields count depends on `kind`.
struct ScrapContent {
  JunkKind kind = JunkKind::kText;
  JunkSource source = JunkSource::kClipboard;
  std::string plainText;        // kText; the plain fallback of kRichText
  std::string richHTML;         // kRichText
  std::string richRTFDBase64;   // kRichText
  std::string fileRefPath;      // kFileRef
  std::string fileRefName;      // kFileRef
  std::vector<JunkFile> files;  // kFileGroup
  // kImage: the image as the clipboard offered it (PNG, JPEG, TIFF ...);
  // the store converts it to PNG and makes the thumbnail.
  std::vector<std::uint8_t> imageBytes;
};

class ScrapSink {
 public:
  virtual ~ScrapSink() = default;
  // Adds a new scrap with the default lifetime, saved before it returns.
  // False when it could not be added (an undecodable image, a failed write);
  // the reason is logged and the board is left as it was.
  [[nodiscard]] virtual bool addScrap(ScrapContent content) = 0;
};

}  // namespace brimvale::junk
