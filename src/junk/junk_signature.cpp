#include "junk/junk_signature.h"

namespace brimvale::junk {

JunkSignature JunkSignature::ofText(std::string_view text) {
  return JunkSignature("txt:" + std::string(text));
}

JunkSignature JunkSignature::ofImage(std::uint32_t width, std::uint32_t height) {
  return JunkSignature("img:" + std::to_string(width) + "x" + std::to_string(height));
}

JunkSignature JunkSignature::ofFiles(const std::vector<std::string>& paths) {
  std::string text = "files:";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (i > 0) text += '\n';
    text += paths[i];
  }
  return JunkSignature(std::move(text));
}

}  // namespace brimvale::junk
