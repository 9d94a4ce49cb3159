// Putting something in the Trash instead of deleting it: the Trash of the
// volume it lies on (the home Trash when that is the same volume), with a
// freedesktop .trashinfo record on Linux so the desktop can put it back.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <string_view>

#include "common/base/error.h"
#include "common/base/file_operations.h"

namespace brimvale::platform {

struct TrashPlaces {
  // The user's own Trash: ~/.local/share/Trash (Linux) or ~/.Trash (macOS).
  std::filesystem::path homeTrash;
  uid_t uid = 0;
};

// The home Trash on the platform this program was built for: on Linux
// `xdgDataHome`/Trash when that is an absolute path, else
// `home`/.local/share/Trash; on macOS `home`/.Trash.
[[nodiscard]] TrashPlaces trashPlacesFor(const std::filesystem::path& home,
                                         std::string_view xdgDataHome);

// trashPlacesFor `home` and this process's XDG_DATA_HOME.
[[nodiscard]] TrashPlaces hostTrashPlaces(const std::filesystem::path& home);

// Moves `path` (a file, folder or link) into the Trash by one rename, so it
// is never copied or half-moved: on another volume than the home Trash it
// goes to that volume's own Trash (on Linux `<top>/.Trash/<uid>` when
// `<top>/.Trash` is a sticky folder and not a link, else `<top>/.Trash-<uid>`;
// `<top>/.Trashes/<uid>` on macOS), created readable by the user alone. A
// name already in the Trash gets " 2", " 3", … added. Returns where the item
// now lies. On failure (a rename across volumes included) the item is where
// it was.
[[nodiscard]] Result<std::filesystem::path> moveToTrash(const std::filesystem::path& path,
                                                        const TrashPlaces& places, std::time_t now,
                                                        FileOperations& files);

}  // namespace brimvale::platform
