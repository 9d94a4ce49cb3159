// The one walker for sizing a tree: folders shared out among a few threads,
// each listing read in large raw batches and every entry examined relative to
// its open folder, with nothing allocated per entry.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string_view>

namespace brimvale {

// Calls `visit` for every entry below the open folder `rootFd` (not the root
// itself), on `threads` threads; `thread` tells visits apart so each can keep
// its own totals. `folder` is the entry's folder relative to the root ("" for
// the root's own children) and `info` its unfollowed metadata. Links are never
// followed; an entry that cannot be examined is left out, and a folder that
// cannot be opened or read whole contributes none of its entries. The views
// are valid only during the call. `rootFd` stays open and unchanged. False
// when anything was left out that way, for callers that must see every entry.
using TreeVisit = std::function<void(unsigned thread, std::string_view folder,
                                     std::string_view name, const struct stat& info)>;
bool walkTree(int rootFd, unsigned threads, const TreeVisit& visit);

}  // namespace brimvale
