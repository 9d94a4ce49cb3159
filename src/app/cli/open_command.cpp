#include "app/cli/open_command.h"

#include <cctype>
#include <ctime>

#include "common/base/file_io.h"
#include "web/access_tokens.h"
#include "web/dashboard_server.h"

namespace brimvale::app {
namespace {

std::string htmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

std::string signInPage(const std::string& url, const std::string& token) {
  return "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<title>Opening Brimvale</title></head>\n"
         "<body onload=\"document.forms[0].submit()\">\n"
         "<form method=\"post\" action=\"" +
         htmlEscaped(url + "session") + "\">\n<input type=\"hidden\" name=\"token\" value=\"" +
         htmlEscaped(token) +
         "\">\n<p>Opening the Brimvale dashboard…</p>\n"
         "<button type=\"submit\">Open the dashboard</button>\n</form>\n</body></html>\n";
}

int openCommand(OpenCommandHost& host) {
  auto url = readFile(host.paths.state / web::kUrlFile);
  if (!url) {
    host.err << "The dashboard isn't running, so there is nothing to open. Nothing was changed; "
                "start Brimvale with `brimvale run`, then run `brimvale open` again.\n";
    return 1;
  }
  std::string address = *url;
  while (!address.empty() && std::isspace(static_cast<unsigned char>(address.back()))) {
    address.pop_back();
  }
  web::TokenBook tokens(host.paths.state / web::kTokenFolder, [] { return std::time(nullptr); });
  auto token = tokens.mint();
  const auto page = host.paths.state / kSignInPage;
  Result<void> written = token ? writeFileAtomically(page, signInPage(address, *token))
                               : Result<void>(std::unexpected(token.error()));
  if (!written) {
    host.err << "Brimvale couldn't prepare the sign-in page for the dashboard. Nothing was "
                "changed; check that "
             << host.paths.state.string()
             << " is writable and run `brimvale open` again. Raw error: "
             << written.error().message() << "\n";
    return 1;
  }
  if (!host.openInBrowser) {
    host.out << page.string() << "\n";
    return 0;
  }
  host.openInBrowser(page.string());
  host.out << "Opening the dashboard in your browser. If nothing opens, open " << page.string()
           << " in your browser within a minute.\n";
  return 0;
}

}  // namespace brimvale::app
