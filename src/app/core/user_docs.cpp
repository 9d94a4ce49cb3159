#include "app/core/user_docs.h"

#include <string>

namespace brimvale::app {

std::vector<UserDocFile> userDocFiles(std::string_view program) {
  const std::string name(program);
  std::vector<UserDocFile> files{{UserDocKind::kBash, "bash-completion/completions/" + name},
                                 {UserDocKind::kZsh, "zsh/site-functions/_" + name}};
  if (program != kShimName)
    files.insert(files.begin(), {UserDocKind::kManPage, "man/man1/" + name + ".1"});
  return files;
}

}  // namespace brimvale::app
