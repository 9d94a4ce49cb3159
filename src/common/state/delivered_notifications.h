// The notifications a running application shows, as its notification centre
// keeps them: the model file's name in the state folder.
#pragma once

#include <string_view>

namespace brimvale {

inline constexpr std::string_view kDeliveredNotificationsFile = "delivered-notifications.json";

}  // namespace brimvale
