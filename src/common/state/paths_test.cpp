#include "common/state/paths.h"

#include <gtest/gtest.h>

namespace brimvale {
namespace {

TEST(WorkingFolderName, AppliesTheNameRuleByteForByte) {
  struct Case {
    const char* computer;
    const char* expected;
  };
  const Case cases[] = {
      {"Ada\xE2\x80\x99s MacBook Pro", "BRIM-Adas-MacBook-Pro"},
      {"--Lab--Mac--", "BRIM-Lab-Mac"},
      {"", "BRIM-Mac"},
      {"'\"\xE2\x80\x99'", "BRIM-Mac"},
      {"Atelier.local", "BRIM-Atelier"},
      {"a.local.local", "BRIM-a.local"},
      {"Zoë's  Studio", "BRIM-Zoës-Studio"},
      {" - ", "BRIM-Mac"},
      {"Ed - Mini", "BRIM-Ed-Mini"},
      {"tab\there", "BRIM-tab\there"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.computer);
    EXPECT_EQ(workingFolderName(c.computer), c.expected);
  }
}

}  // namespace
}  // namespace brimvale
