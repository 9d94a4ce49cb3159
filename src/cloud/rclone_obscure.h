// Reads values that rclone keeps "obscured" in its configuration (passwords
// and passphrases), without handing them to a child's argument list.
#pragma once

#include <string>
#include <string_view>

#include "common/base/error.h"

namespace brimvale::cloud {

// The plain text of an obscured value: URL-safe Base64 without padding of a
// 16-byte counter block followed by the AES-256-CTR text under rclone's fixed
// key. Obscuring only hides a value from a glance; it is not encryption.
// Errc::kParse for text that is not such a value.
[[nodiscard]] Result<std::string> revealObscured(std::string_view obscured);

}  // namespace brimvale::cloud
