// The extended attribute that marks what this program relocated: a moved app
// bundle (value: the move's id) or a re-pointed link (value: its new target).
#pragma once

#include <string_view>

namespace brimvale::platform {

inline constexpr std::string_view kMacRelocationMarkAttribute = "com.brimvale.relocated";
// Linux lets users write attributes only in the `user.` namespace.
inline constexpr std::string_view kLinuxRelocationMarkAttribute = "user.brimvale.relocated";

#ifdef __APPLE__
inline constexpr std::string_view kRelocationMarkAttribute = kMacRelocationMarkAttribute;
#else
inline constexpr std::string_view kRelocationMarkAttribute = kLinuxRelocationMarkAttribute;
#endif

}  // namespace brimvale::platform
