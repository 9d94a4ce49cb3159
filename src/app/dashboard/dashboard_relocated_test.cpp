#include "app/dashboard/dashboard_relocated.h"

#include <gtest/gtest.h>

namespace brimvale::app {
namespace {
using nlohmann::json;

TEST(DashboardRelocated, OnlyIdShapedTextNamesAnItem) {
  struct Case {
    const char* name;
    json body;
    std::string id;  // empty: refused
  };
  const Case cases[] = {
      {"whole id",
       {{"id", "3F2A9C1E-77B0-4C1D-9E55-0A1B2C3D4E5F"}},
       "3F2A9C1E-77B0-4C1D-9E55-0A1B2C3D4E5F"},
      {"missing", json::object(), ""},
      {"a number", {{"id", 42}}, ""},
      {"a path", {{"id", "../state/x"}}, ""},
      {"with a newline", {{"id", "3F2A\n"}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(relocatedItemId(c.body), c.id);
  }
}

}  // namespace
}  // namespace brimvale::app
