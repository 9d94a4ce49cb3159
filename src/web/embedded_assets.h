// The dashboard's pages, styles and scripts, compiled into the program from
// src/web/assets so nothing is read from disk or fetched at run time.
#pragma once

#include <span>
#include <string_view>

namespace brimvale::web {

struct Asset {
  std::string_view path;  // "/home.html": the file's place under src/web/assets
  std::string_view contentType;
  std::string_view body;
};

// Every asset, sorted by path. Generated at build time.
[[nodiscard]] std::span<const Asset> embeddedAssets();

// The asset at `path`; nullptr when there is none.
[[nodiscard]] const Asset* findAsset(std::string_view path);

}  // namespace brimvale::web
