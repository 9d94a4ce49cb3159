#include "app/cli/allow_root_option.h"

namespace brimvale::app {

void allowRootOption(CLI::App& sub, std::vector<std::string>& allowedRoots) {
  sub.add_option("--allow-root", allowedRoots,
                 "a folder outside your home folder whose contents may be moved (repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

}  // namespace brimvale::app
