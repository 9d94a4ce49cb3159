#include "common/base/file_calls.h"

#include <fcntl.h>
#include <unistd.h>
#include <array>
#include <type_traits>
#include <utility>

namespace brimvale {
namespace fs = std::filesystem;

namespace {

// Runs one error_code-taking call and wraps its answer.
template <class Call>
auto wrapped(std::string_view what, const fs::path& path, Call call)
    -> Result<decltype(call(std::declval<std::error_code&>()))> {
  std::error_code ec;
  if constexpr (std::is_void_v<decltype(call(ec))>) {
    call(ec);
    if (ec) return std::unexpected(fileCallError(what, path, ec));
    return {};
  } else {
    auto value = call(ec);
    if (ec) return std::unexpected(fileCallError(what, path, ec));
    return value;
  }
}

// The status with links followed; a missing path is an answer, not an error.
fs::file_status followedStatus(const fs::path& path, std::error_code& ec) {
  fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) ec.clear();
  return status;
}

}  // namespace

Error fileCallError(std::string_view what, const fs::path& path, std::error_code ec) {
  Errc code = Errc::kIo;
  if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory)
    code = Errc::kNotFound;
  if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
      ec == std::errc::read_only_file_system)
    code = Errc::kPermissionDenied;
  std::string detail(what);
  detail += " ";
  detail += path.string();
  detail += ": ";
  detail += ec.message();
  return Error{code, std::move(detail)};
}

Result<fs::file_status> linkStatus(const fs::path& path) {
  return wrapped("examining", path, [&](std::error_code& ec) {
    fs::file_status status = fs::symlink_status(path, ec);
    if (status.type() == fs::file_type::not_found) ec.clear();
    return status;
  });
}

Result<bool> pathExists(const fs::path& path) {
  return wrapped("examining", path, [&](std::error_code& ec) { return fs::exists(path, ec); });
}

std::string linkTargetAt(int dirfd, const std::string& name) {
  std::array<char, 4096> buf{};
  const ssize_t n = ::readlinkat(dirfd, name.c_str(), buf.data(), buf.size());
  if (n < 0 || static_cast<std::size_t>(n) == buf.size()) return {};
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

bool entryPresent(const fs::path& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

Result<bool> isDirectory(const fs::path& path) {
  return wrapped("examining", path,
                 [&](std::error_code& ec) { return fs::is_directory(followedStatus(path, ec)); });
}

Result<bool> isRegularFile(const fs::path& path) {
  return wrapped("examining", path, [&](std::error_code& ec) {
    return fs::is_regular_file(followedStatus(path, ec));
  });
}

Result<void> createDirectories(const fs::path& path) {
  return wrapped("creating folder", path,
                 [&](std::error_code& ec) { fs::create_directories(path, ec); });
}

Result<bool> createDirectory(const fs::path& path) {
  return wrapped("creating folder", path,
                 [&](std::error_code& ec) { return fs::create_directory(path, ec); });
}

Result<void> renamePath(const fs::path& from, const fs::path& to) {
  return wrapped("renaming", from, [&](std::error_code& ec) { fs::rename(from, to, ec); });
}

Result<bool> removePath(const fs::path& path) {
  return wrapped("removing", path, [&](std::error_code& ec) { return fs::remove(path, ec); });
}

Result<std::uintmax_t> removeAll(const fs::path& path) {
  return wrapped("removing", path, [&](std::error_code& ec) { return fs::remove_all(path, ec); });
}

Result<fs::path> readSymlink(const fs::path& path) {
  return wrapped("reading link", path,
                 [&](std::error_code& ec) { return fs::read_symlink(path, ec); });
}

Result<void> createDirectorySymlink(const fs::path& target, const fs::path& link) {
  return wrapped("creating link", link,
                 [&](std::error_code& ec) { fs::create_directory_symlink(target, link, ec); });
}

Result<std::uintmax_t> fileSize(const fs::path& path) {
  return wrapped("measuring", path, [&](std::error_code& ec) { return fs::file_size(path, ec); });
}

Result<fs::file_time_type> lastWriteTime(const fs::path& path) {
  return wrapped("examining", path,
                 [&](std::error_code& ec) { return fs::last_write_time(path, ec); });
}

Result<void> setPermissions(const fs::path& path, fs::perms perms) {
  return wrapped("setting permissions of", path,
                 [&](std::error_code& ec) { fs::permissions(path, perms, ec); });
}

Result<fs::path> weaklyCanonical(const fs::path& path) {
  return wrapped("resolving", path,
                 [&](std::error_code& ec) { return fs::weakly_canonical(path, ec); });
}

Result<fs::path> canonicalPath(const fs::path& path) {
  return wrapped("resolving", path, [&](std::error_code& ec) { return fs::canonical(path, ec); });
}

Result<fs::path> absolutePath(const fs::path& path) {
  return wrapped("resolving", path, [&](std::error_code& ec) { return fs::absolute(path, ec); });
}

}  // namespace brimvale
