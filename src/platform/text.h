#pragma once

#include <string>
#include <string_view>

namespace rivelo::platform {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::wstring_view text);

// UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::wstring to_wide(std::string_view text);

}  // namespace rivelo::platform
