// What a capture took from the clipboard, in one comparable text, so that the
// same content offered again right after is not saved twice.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brimvale::junk {

class JunkSignature {
 public:
  // "txt:" and the text.
  [[nodiscard]] static JunkSignature ofText(std::string_view text);
  // "img:" and the size, as "img:{width}x{height}".
  [[nodiscard]] static JunkSignature ofImage(std::uint32_t width, std::uint32_t height);
  // "files:" and the paths, one per line.
  [[nodiscard]] static JunkSignature ofFiles(const std::vector<std::string>& paths);

  [[nodiscard]] const std::string& text() const { return text_; }
  bool operator==(const JunkSignature&) const = default;

 private:
  explicit JunkSignature(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

}  // namespace brimvale::junk
