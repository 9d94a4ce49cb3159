#include "app/cli/pairs_entry.h"

#include <optional>

#include "app/cli/json_option.h"
#include "app/core/transfers_command.h"

namespace brimvale::app {
namespace {

struct PairsOptions {
  bool json = false;
};

void options(CLI::App& sub, PairsOptions& o) { jsonOption(sub, o.json); }

int pairs(CommandContext& c, PairsOptions& o) {
  cloud::PairHistory pairs(cloud::PairHistoryFiles::inStateFolder(c.paths.state),
                           cloud::hostFingerprint(platform::runnerOf(*c.base.launcher)),
                           std::nullopt);
  return pairsCommand(pairs, c.out, c.err, o.json);
}

}  // namespace

CommandEntry pairsEntry() {
  return commandEntry<PairsOptions>(
      "pairs", "the recently used pairs of folders and remotes, pinned first", options, pairs);
}

}  // namespace brimvale::app
