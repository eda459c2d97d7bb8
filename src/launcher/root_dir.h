#pragma once

#include <string>
#include <string_view>

#include "launcher/options.h"

namespace rivelo::launcher {

// The installation root: the "-w" value (made absolute against the current
// directory when it is relative; an absolute value is kept exactly), or the
// folder of the program file. Throws FatalError.
std::wstring resolve_root_dir(const OptionMap& options);

// True for "C:\..." or "C:/...", and for paths that begin with two
// separators (UNC and "\\?\" paths).
bool is_absolute(std::wstring_view path) noexcept;

// The path without its last component; a drive root keeps its separator
// ("C:\x.exe" gives "C:\"). Empty when there is no last component.
std::wstring parent_folder(std::wstring_view path);

}  // namespace rivelo::launcher
