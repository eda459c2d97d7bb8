#pragma once

#include <map>
#include <string>
#include <vector>

namespace rivelo::launcher {

// "root" from "-w", "dtrs" from "--dtrs"; values exactly as given.
using OptionMap = std::map<std::wstring, std::wstring>;

inline constexpr wchar_t kRootKey[] = L"root";
inline constexpr wchar_t kDtrsKey[] = L"dtrs";

// Scans the option arguments (everything after the verb). A bad value throws
// FatalError with the report's message.
OptionMap parse_options(const std::vector<std::wstring>& arguments);

}  // namespace rivelo::launcher
