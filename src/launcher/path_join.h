#pragma once

#include <string>
#include <string_view>

namespace rivelo::launcher {

// Joins a relative path to the root directory with one backslash between
// them, unless the root is empty, already ends with a separator, or is a bare
// drive such as "C:".
std::wstring path_join(std::wstring_view root, std::wstring_view relative);

}  // namespace rivelo::launcher
