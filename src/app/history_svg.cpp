#include "app/history_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "common/base/timestamps.h"
#include "platform/byte_count_format.h"

namespace brimvale::app {
namespace {

constexpr double kWidth = 720;
constexpr double kHeight = 260;
constexpr double kLeft = 72;
constexpr double kRight = 20;
constexpr double kTop = 40;
constexpr double kBottom = 40;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kPlotHeight = kHeight - kTop - kBottom;
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

double yOf(double gb, double top) { return kTop + kPlotHeight * (1 - gb / top); }

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

std::string polyline(const HistorySeries& series, double top, std::string_view colour) {
  const std::size_t count = series.values.size();
  std::vector<std::string> points;
  for (std::size_t i = 0; i < count; ++i) {
    if (!series.values[i]) continue;
    const std::string y = number(yOf(*series.values[i], top));
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

}  // namespace

std::string historySvg(const BucketedHistory& history) {
  const std::string period = localDate(history.from) + " to " + localDate(history.to);
  double highest = history.internal.maxGb;
  if (history.drive) highest = std::max(highest, history.drive->maxGb);
  const double step = niceStep(std::max(highest, 1.0) / kGbTicks);
  const double top = step * std::ceil(std::max(highest, 1.0) / step);

  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      number(kWidth) + "\" height=\"" + number(kHeight) + "\" viewBox=\"0 0 " + number(kWidth) +
      " " + number(kHeight) +
      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<title>Free space from " +
      period +
      "</title>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  for (double gb = 0; gb <= top + step / 2; gb += step) {
    const double y = yOf(gb, top);
    svg += line(kLeft, y, kLeft + kPlotWidth, y, "#e4e4e4");
    svg += text(kLeft - 8, y + 4, "end", gigabyteLabel(gb));
  }
  svg += line(kLeft, kTop, kLeft, kTop + kPlotHeight, "#333");
  svg += line(kLeft, kTop + kPlotHeight, kLeft + kPlotWidth, kTop + kPlotHeight, "#333");
  svg += text(kLeft, kHeight - 14, "start", localDate(history.from));
  svg += text(kLeft + kPlotWidth, kHeight - 14, "end", localDate(history.to));

  svg += text(kLeft, 22, "start", std::string(kInternalStyle.label), kInternalStyle.colour);
  svg += polyline(history.internal, top, kInternalStyle.colour);
  if (history.drive) {
    svg += text(kLeft + 140, 22, "start", std::string(kDriveStyle.label), kDriveStyle.colour);
    svg += polyline(*history.drive, top, kDriveStyle.colour);
  }
  return svg + "</svg>\n";
}

}  // namespace brimvale::app
