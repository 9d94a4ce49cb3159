// Reads one secret the user types: from the terminal with echo turned off,
// or the first line of standard input when that is a pipe or a file.
#pragma once

#include <ostream>
#include <string>

#include "common/base/error.h"

namespace brimvale::app {

// `prompt` goes to `promptOut` only for a terminal. The line ending is not
// part of the secret. Errors (with the user's sentence): Ctrl-C while typing
// (Errc::kInvalidArgument), nothing at all on a non-terminal input
// (Errc::kNotFound), a read failure (Errc::kIo). Echo is restored on every path.
[[nodiscard]] Result<std::string> readSecret(int fd, const std::string& prompt,
                                             std::ostream& promptOut);

}  // namespace brimvale::app
