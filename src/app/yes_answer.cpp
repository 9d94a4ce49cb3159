#include "app/yes_answer.h"

#include <string>

#include "common/base/text_formats.h"

namespace brimvale::app {

bool readsYes(std::istream& in) {
  std::string answer;
  if (!std::getline(in, answer)) return false;
  answer = asciiLower(std::string(trimBlanks(answer)));
  return answer == "y" || answer == "yes";
}

}  // namespace brimvale::app
