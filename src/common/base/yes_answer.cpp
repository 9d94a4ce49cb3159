#include "common/base/yes_answer.h"

#include <string>

#include "common/base/text_formats.h"

namespace brimvale {

bool readsYes(std::istream& in) {
  std::string answer;
  if (!std::getline(in, answer)) return false;
  answer = asciiLower(std::string(trimBlanks(answer)));
  return answer == "y" || answer == "yes";
}

}  // namespace brimvale
