#include "app/core/history_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

constexpr double kWidth = 720;
constexpr double kLeft = 72;
constexpr double kRight = 20;
constexpr double kTop = 36;     // room for the first panel's name
constexpr double kBottom = 36;  // room for the dates
constexpr double kPanelGap = 44;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kPlotHeight = 140;
constexpr int kGbTicks = 4;

struct SeriesStyle {
  std::string_view label;
  std::string_view colour;
};
constexpr SeriesStyle kInternalStyle{"Internal disk", "#1f6fb4"};
constexpr SeriesStyle kDriveStyle{"Fast drive", "#d9730d"};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The smallest 1, 2 or 5 times a power of ten at least `raw`, so the GB
// labels read as round numbers.
double niceStep(double raw) {
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= raw) return factor * power;
  }
  return 10 * power;
}

// The formatter says "Zero KB" for nothing; an axis in GB starts at "0 GB".
std::string gigabyteLabel(double gb) {
  return gb <= 0 ? "0 GB" : platform::formatFileByteCount(std::llround(gb * 1e9));
}

double yOf(double gb, double top, double panelTop) {
  return panelTop + kPlotHeight * (1 - gb / top);
}

double xOf(std::size_t i, std::size_t count) {
  return count <= 1 ? kLeft : kLeft + kPlotWidth * static_cast<double>(i) / (count - 1);
}

std::string text(double x, double y, std::string_view anchor, const std::string& words,
                 std::string_view fill = "#333") {
  return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" +
         std::string(anchor) + "\" fill=\"" + std::string(fill) + "\">" + words + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, std::string_view stroke) {
  return "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) +
         "\" y2=\"" + number(y2) + "\" stroke=\"" + std::string(stroke) + "\"/>\n";
}

std::string polyline(const HistorySeries& series, double top, double panelTop,
                     std::string_view colour) {
  const std::size_t count = series.values.size();
  std::vector<std::string> points;
  for (std::size_t i = 0; i < count; ++i) {
    if (!series.values[i]) continue;
    const std::string y = number(yOf(*series.values[i], top, panelTop));
    points.push_back(number(xOf(i, count)) + "," + y);
    // A single bucket spans the whole width: the one row is the whole period.
    if (count == 1) points.push_back(number(kLeft + kPlotWidth) + "," + y);
  }
  if (points.size() == 1) points.push_back(points.front());
  std::string joined;
  for (const auto& p : points) joined += (joined.empty() ? "" : " ") + p;
  return "<polyline fill=\"none\" stroke=\"" + std::string(colour) +
         "\" stroke-width=\"2\" stroke-linejoin=\"round\" stroke-linecap=\"round\" points=\"" +
         joined + "\"/>\n";
}

// One series on its own GB scale from zero, so a small disk's changes stay
// visible beside a large drive: name, grid with GB labels, axes, the line.
std::string panel(const HistorySeries& series, const SeriesStyle& style, double panelTop) {
  const double highest = std::max(series.maxGb, 1.0);
  const double step = niceStep(highest / kGbTicks);
  const double top = step * std::ceil(highest / step);
  std::string svg =
      text(kLeft, panelTop - 12, "start", std::string(style.label) + " free space", style.colour);
  for (double gb = 0; gb <= top + step / 2; gb += step) {
    const double y = yOf(gb, top, panelTop);
    svg += line(kLeft, y, kLeft + kPlotWidth, y, "#e4e4e4");
    svg += text(kLeft - 8, y + 4, "end", gigabyteLabel(gb));
  }
  svg += line(kLeft, panelTop, kLeft, panelTop + kPlotHeight, "#333");
  svg += line(kLeft, panelTop + kPlotHeight, kLeft + kPlotWidth, panelTop + kPlotHeight, "#333");
  return svg + polyline(series, top, panelTop, style.colour);
}

}  // namespace

std::string historySvg(const BucketedHistory& history) {
  std::vector<std::pair<const HistorySeries*, SeriesStyle>> panels{
      {&history.internal, kInternalStyle}};
  if (history.drive) panels.emplace_back(&*history.drive, kDriveStyle);
  const double height =
      kTop + static_cast<double>(panels.size()) * (kPlotHeight + kPanelGap) - kPanelGap + kBottom;

  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      number(kWidth) + "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(kWidth) +
      " " + number(height) +
      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<title>Free space from " +
      localDate(history.from) + " to " + localDate(history.to) +
      "</title>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  double panelTop = kTop;
  for (const auto& [series, style] : panels) {
    svg += panel(*series, style, panelTop);
    panelTop += kPlotHeight + kPanelGap;
  }
  const double datesY = panelTop - kPanelGap + 24;
  svg += text(kLeft, datesY, "start", localDate(history.from));
  svg += text(kLeft + kPlotWidth, datesY, "end", localDate(history.to));
  return svg + "</svg>\n";
}

}  // namespace brimvale::app
