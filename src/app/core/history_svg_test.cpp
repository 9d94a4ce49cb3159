#include "app/core/history_svg.h"

#include <gtest/gtest.h>

#include <regex>

#include "common/base/timestamps.h"

namespace brimvale::app {
namespace {

using V = std::optional<double>;
constexpr std::time_t kStart = 1'790'000'000;

// The element names in document order when every tag is balanced and nested
// properly; empty when it is not. Enough XML for a document with no comments,
// CDATA or '>' inside attribute values.
std::vector<std::string> balancedElements(const std::string& xml) {
  std::vector<std::string> open;
  std::vector<std::string> seen;
  std::size_t at = 0;
  while ((at = xml.find('<', at)) != std::string::npos) {
    const std::size_t end = xml.find('>', at);
    if (end == std::string::npos) return {};
    const std::string tag = xml.substr(at + 1, end - at - 1);
    at = end + 1;
    if (tag.starts_with('?')) continue;
    if (tag.starts_with('/')) {
      if (open.empty() || open.back() != tag.substr(1)) return {};
      open.pop_back();
      continue;
    }
    const std::string name = tag.substr(0, tag.find_first_of(" \n/"));
    seen.push_back(name);
    if (!tag.ends_with('/')) open.push_back(name);
  }
  return open.empty() ? seen : std::vector<std::string>{};
}

// The number of points of each polyline, in order.
std::vector<std::size_t> polylinePointCounts(const std::string& svg) {
  std::vector<std::size_t> counts;
  const std::regex points(R"re(<polyline[^>]* points="([^"]*)")re");
  for (std::sregex_iterator it(svg.begin(), svg.end(), points), end; it != end; ++it) {
    const std::string list = (*it)[1];
    counts.push_back(static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')));
  }
  return counts;
}

TEST(HistorySvg, ValidDocumentWithOnePolylinePerSeries) {
  struct Case {
    const char* name;
    std::vector<V> internal;
    std::optional<std::vector<V>> drive;
    std::vector<std::size_t> points;
  };
  const Case cases[] = {
      {"internal only", {40, 35, 30}, std::nullopt, {3}},
      {"with the drive", {40, 35, 30}, std::vector<V>{400, 410, 420}, {3, 3}},
      {"gaps are bridged, not drawn as zero", {40, V{}, 30}, std::vector<V>{V{}, 410, V{}}, {2, 2}},
      {"one row spans the chart", {40}, std::vector<V>{400}, {2, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BucketedHistory h{.from = kStart, .to = kStart + 86'400, .bucketSeconds = 3600, .rowCount = 3};
    h.internal = {.values = c.internal, .minGb = 30, .maxGb = 40, .latestGb = 30};
    if (c.drive) h.drive = HistorySeries{.values = *c.drive, .minGb = 400, .maxGb = 420};
    const std::string svg = historySvg(h);

    const auto elements = balancedElements(svg);
    ASSERT_FALSE(elements.empty()) << svg;
    EXPECT_EQ(elements.front(), "svg");
    EXPECT_EQ(elements.at(1), "title");
    EXPECT_NE(svg.find("xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_NE(svg.find("<title>Free space from " + localDate(kStart) + " to " +
                       localDate(kStart + 86'400) + "</title>"),
              std::string::npos);
    EXPECT_EQ(polylinePointCounts(svg), c.points);
    EXPECT_NE(svg.find(">0 GB</text>"), std::string::npos) << "the GB axis starts at zero";
    EXPECT_NE(svg.find(">40 GB</text>"), std::string::npos)
        << "the internal disk keeps its own scale beside a larger drive";
    EXPECT_EQ(svg.find("Fast drive") != std::string::npos, c.drive.has_value());
  }
}

TEST(HistorySvg, GbAxisEndsOnARoundNumberAboveTheHighestValue) {
  struct Case {
    double highest;
    const char* topLabel;
  };
  const Case cases[] = {{37, ">40 GB<"}, {412, ">600 GB<"}, {0, ">1 GB<"}, {1900, ">2 TB<"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.highest);
    BucketedHistory h{.from = kStart, .to = kStart, .bucketSeconds = 3600, .rowCount = 1};
    h.internal = {.values = {c.highest}, .minGb = c.highest, .maxGb = c.highest};
    EXPECT_NE(historySvg(h).find(c.topLabel), std::string::npos) << historySvg(h);
  }
}

}  // namespace
}  // namespace brimvale::app
