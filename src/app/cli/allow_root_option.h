// --allow-root, repeatable: folders outside the home folder whose contents
// the commands that move folders may move.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace brimvale::app {

void allowRootOption(CLI::App& sub, std::vector<std::string>& allowedRoots);

}  // namespace brimvale::app
