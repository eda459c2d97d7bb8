#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rivelo::platform {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string to_utf8(std::wstring_view text);

// UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::wstring to_wide(std::string_view text);

// The number in decimal digits. Without the C runtime's printf family, which
// would add its floating-point formatting to a small program.
std::wstring decimal(std::uint64_t value);
std::wstring decimal(std::int64_t value);

// True when the texts are equal but for letter case, as the file system
// compares names (CompareStringOrdinal, ignoring case).
bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) noexcept;

}  // namespace rivelo::platform
