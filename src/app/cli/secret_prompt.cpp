#include "app/cli/secret_prompt.h"

#include <errno.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <optional>

namespace brimvale::app {

namespace {

std::atomic<bool> typingInterrupted{false};

// Byte by byte, so nothing past the line is taken from a shared input.
Result<std::optional<std::string>> readLine(int fd) {
  std::string line;
  bool any = false;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) {
      if (typingInterrupted) return fail(Errc::kInvalidArgument, "interrupted");
      continue;
    }
    if (n < 0) return std::unexpected(errnoError("reading the secret", errno));
    if (n == 0) break;
    any = true;
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!any) return std::optional<std::string>{};
  return std::optional<std::string>(std::move(line));
}

}  // namespace

Result<std::string> readSecret(int fd, const std::string& prompt, std::ostream& promptOut) {
  termios saved{};
  if (!isatty(fd) || tcgetattr(fd, &saved) != 0) {
    auto line = readLine(fd);
    if (!line) return std::unexpected(line.error());
    if (!*line) {
      return fail(Errc::kNotFound,
                  "No secret arrived on standard input: pipe it in (one line) or run the command "
                  "in a terminal to type it.");
    }
    return std::move(**line);
  }
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  // Ctrl-C must not leave the terminal without echo: catch it, restore, report.
  struct sigaction onInterrupt {};
  onInterrupt.sa_handler = [](int) { typingInterrupted = true; };
  sigemptyset(&onInterrupt.sa_mask);
  struct sigaction previous {};
  typingInterrupted = false;
  sigaction(SIGINT, &onInterrupt, &previous);
  promptOut << prompt << std::flush;
  tcsetattr(fd, TCSAFLUSH, &quiet);
  auto line = readLine(fd);
  tcsetattr(fd, TCSAFLUSH, &saved);
  sigaction(SIGINT, &previous, nullptr);
  if (!line) {
    promptOut << "\n";
    if (line.error().code == Errc::kInvalidArgument) {
      return fail(Errc::kInvalidArgument, "Stopped at your request.");
    }
    return std::unexpected(line.error());
  }
  return line->value_or("");
}

}  // namespace brimvale::app
