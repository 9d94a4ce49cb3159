// `brimvale parked [list | confirm PATH] [--json]`: the parked originals that
// relocations left beside their links, and the confirmed deletion of one.
#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/core/confirm_hook.h"
#include "app/core/listing_order.h"
#include "common/state/paths.h"
#include "relocated/parked_originals.h"

namespace brimvale::app {

enum class ParkedOutput { kText, kJson };

struct ParkedCommandHost {
  StatePaths paths;
  std::ostream& out;
  std::ostream& err;
  ConfirmHook confirm = {};  // decides on a deletion; empty: go ahead
  // The list's order; nothing: by path. By age, each shows when it was parked.
  std::optional<ListingOrder> order = {};
};

// `list` (also with no request) or `confirm PATH`. 0 when listed or
// deleted (or only its plan shown), 1 when the deletion was refused or not
// confirmed (nothing deleted), 2 for a request that is not one of these.
[[nodiscard]] int parkedCommand(ParkedCommandHost& host, const std::vector<std::string>& request,
                                ParkedOutput output);

// When an entry was parked: its last status change, which the parking rename
// sets; nothing when it cannot be read.
[[nodiscard]] std::optional<std::time_t> parkedAt(const std::filesystem::path& parked);

// Each parked original: its size, when it was parked (with `showParkedAt`), its
// copy, whether the copy still matches and the command that confirms it.
[[nodiscard]] std::string renderParkedList(const std::vector<relocated::ParkedOriginal>& list,
                                           bool showParkedAt = false);

// {"parked": [{"bytes", "copy", "detail", "differing", "differingCount",
// "path", "relocated", "state"}, ...]}, pretty-printed.
[[nodiscard]] std::string parkedListJson(const std::vector<relocated::ParkedOriginal>& list);

// {"copy", "differing", "differingCount", "message", "path", "relocated",
// "result"}, pretty-printed.
[[nodiscard]] std::string confirmJson(const relocated::ConfirmOutcome& outcome);

}  // namespace brimvale::app
