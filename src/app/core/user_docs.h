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

inline constexpr std::array<std::string_view, 2> kDocumentedPrograms{"brimvale", "brim-vale"};

// The man page, bash completion and zsh completion of `program`.
[[nodiscard]] std::vector<UserDocFile> userDocFiles(std::string_view program);

}  // namespace brimvale::app
