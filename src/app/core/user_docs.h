// Where each program's man page and completion scripts sit under a "share"
// folder: the build writes them beside the service programs, the installer
// copies them to ~/.local/share, where man, bash and zsh look.
#pragma once

#include <array>
#include <filesystem>
#include <string_view>
#include <vector>

namespace brimvale::app {

enum class UserDocKind { kManPage, kBash, kZsh };

struct UserDocFile {
  UserDocKind kind;
  std::filesystem::path relative;  // below the share folder
};

// Every name install puts on PATH. `brvl` is a shim that runs brim-vale: it
// completes the same way and its manual is brim-vale's.
inline constexpr std::array<std::string_view, 3> kDocumentedPrograms{"brimvale", "brim-vale",
                                                                     "brvl"};
inline constexpr std::string_view kShimName = "brvl";

// The man page (none for the shim), bash completion and zsh completion of `program`.
[[nodiscard]] std::vector<UserDocFile> userDocFiles(std::string_view program);

}  // namespace brimvale::app
