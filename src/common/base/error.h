// Typed errors shared by every subsystem: a case a caller can branch on, the
// detail that explains it, and one sentence a user can read.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace brimvale {

// Cases a caller or a user can tell apart. Persisted and logged by id; never
// renumber or rename an id (see kErrorTable in error.cpp).
enum class Errc {
  kNotFound,
  kPermissionDenied,
  kIo,
  kParse,
  kInvalidArgument,
  kLaunchFailed,
  kTimedOut,
  kToolFailed,
  kUnavailable,
};

struct Error {
  Errc code = Errc::kIo;
  // Technical detail (path, errno text, tool output); shown after the sentence.
  std::string detail;

  // Stable identifier of the case, e.g. "not-found".
  [[nodiscard]] std::string_view id() const;
  // The user-facing sentence of the case followed by the detail, if any.
  [[nodiscard]] std::string message() const;
};

// Builds an Error from the current errno, naming what was being done.
[[nodiscard]] Error errnoError(std::string_view what, int err);

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Errc code, std::string detail = {}) {
  return std::unexpected(Error{code, std::move(detail)});
}

}  // namespace brimvale
