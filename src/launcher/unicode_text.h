#pragma once

#include <string_view>

namespace rivelo::launcher {

// False when the UTF-16 text holds an unpaired surrogate.
bool is_well_formed(std::wstring_view text) noexcept;

// True when nothing is left after removing the Unicode White_Space code points
// from both ends; the empty text is blank.
bool is_blank(std::wstring_view text) noexcept;

}  // namespace rivelo::launcher
