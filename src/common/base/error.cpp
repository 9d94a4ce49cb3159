#include "common/base/error.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace brimvale {
namespace {

struct ErrorInfo {
  Errc code;
  std::string_view id;
  std::string_view sentence;
};

constexpr std::array kErrorTable{
    ErrorInfo{Errc::kNotFound, "not-found",
              "A file or folder that was needed does not exist. Nothing was changed."},
    ErrorInfo{Errc::kPermissionDenied, "permission-denied",
              "Brimvale was not allowed to read or change a file. Nothing was changed; "
              "check the folder's permissions and try again."},
    ErrorInfo{Errc::kIo, "io",
              "A file could not be read or written. Your data is safe; try again, and "
              "check the drive if it keeps happening."},
    ErrorInfo{Errc::kParse, "parse",
              "A file Brimvale keeps could not be understood. It was left as it is; "
              "nothing was changed."},
    ErrorInfo{Errc::kInvalidArgument, "invalid-argument",
              "The request was not understood. Nothing was changed; check the command "
              "and try again."},
    ErrorInfo{Errc::kLaunchFailed, "launch-failed",
              "A helper program could not be started. Nothing was changed; check that it "
              "is installed."},
    ErrorInfo{Errc::kTimedOut, "timed-out",
              "A helper program took too long and was stopped. Your data is safe; try "
              "again later."},
    ErrorInfo{Errc::kToolFailed, "tool-failed",
              "A helper program reported a failure. Your data is safe; see the details "
              "below."},
    ErrorInfo{Errc::kUnavailable, "unavailable",
              "This feature is not available on this computer. Nothing was changed."},
};

const ErrorInfo& infoOf(Errc code) {
  for (const auto& info : kErrorTable) {
    if (info.code == code) return info;
  }
  return kErrorTable[2];  // kIo: unreachable while the table covers every case
}

}  // namespace

std::string_view Error::id() const { return infoOf(code).id; }

std::string Error::message() const {
  std::string out(infoOf(code).sentence);
  if (!detail.empty()) {
    out += " Raw error: ";
    out += detail;
  }
  return out;
}

Error errnoError(std::string_view what, int err) {
  Errc code = Errc::kIo;
  if (err == ENOENT || err == ENOTDIR) code = Errc::kNotFound;
  if (err == EACCES || err == EPERM || err == EROFS) code = Errc::kPermissionDenied;
  std::string detail(what);
  detail += ": ";
  detail += std::strerror(err);
  return Error{code, std::move(detail)};
}

}  // namespace brimvale
