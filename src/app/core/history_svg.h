// The usage history as a small self-contained SVG line chart: one panel per
// series, each with its name, axes, GB labels and one polyline; dates below.
#pragma once

#include <string>

#include "app/core/history_series.h"

namespace brimvale::app {

// A complete SVG document (XML declaration, <svg> with its namespace, a
// <title> naming the dates). Gaps are bridged: each series is one polyline
// through the buckets that hold a value; a lone value is drawn as a dot.
[[nodiscard]] std::string historySvg(const BucketedHistory& history);

}  // namespace brimvale::app
