// `brimvale open`: signs this computer's browser in to the dashboard that
// `brimvale run` serves. The one-time token goes into a private local page
// that posts it, never onto a command line other users could read.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "common/state/paths.h"

namespace brimvale::app {

// The page that signs in, in the state folder (0600).
inline constexpr std::string_view kSignInPage = "dashboard-open.html";

struct OpenCommandHost {
  StatePaths paths;
  // Opens a local file in the browser; empty: print the page's path instead.
  std::function<void(const std::string& file)> openInBrowser;
  std::ostream& out;
  std::ostream& err;
};

// 0 once the page is written (and handed to the browser); 1 when the
// dashboard is not running or the page can't be written.
[[nodiscard]] int openCommand(OpenCommandHost& host);

// The page: a form posting `token` to {url}session, sent as soon as it loads.
[[nodiscard]] std::string signInPage(const std::string& url, const std::string& token);

}  // namespace brimvale::app
