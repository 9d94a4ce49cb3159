// --sort size|age|name, on every listing that shows sizes and ages.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "app/core/listing_order.h"

namespace brimvale::app {

// --sort bound to `order` (which keeps its default), `age` described as `what`.
void sortOption(CLI::App& sub, std::string& order, const std::string& age);

// The order an option checked by sortOption names.
[[nodiscard]] ListingOrder sortOrder(const std::string& order);

}  // namespace brimvale::app
