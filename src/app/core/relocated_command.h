// `brimvale relocated`: the folders relocated to the drive and how each
// stands, bringing one home (move back), clearing away a broken one, and the
// discovery walk of the drive's working folder.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "app/core/mover_session.h"
#include "mover/relocated_items_store.h"

namespace brimvale::app {

struct RelocatedOptions {
  std::string action;  // empty (the list), "move-back", "delete" or "scan"
  std::string id;      // the item's id; a unique prefix is enough
  bool json = false;   // the list as JSON
  // Move back: the drive copy wins every conflict instead of a newer file on
  // the internal disk; files only on the internal disk stay either way.
  bool overwrite = false;
};

// `--json` only with the list: the caller refuses it with an action.
int relocatedCommand(MoverCommandContext& c, const RelocatedOptions& o);

// Brings the relocated folder `id` home and waits until it is back or has
// stopped, showing progress; `c.confirm` decides on the plan first. Takes
// the relocator lock itself, so a caller must not hold it. 0 once the folder
// is back (or only its plan shown); 1 when it stays on the drive (said why);
// 2 when no single item matches `id`; 128 + the signal after Ctrl-C.
int moveBackCommand(MoverCommandContext& c, const std::string& id, bool overwrite);

// `relocated --json`: the items and the discovery walk's diagnostic.
[[nodiscard]] std::string relocatedJson(const std::vector<mover::RelocatedItem>& items,
                                        const std::optional<mover::ScanDiagnostic>& diagnostic);

}  // namespace brimvale::app
