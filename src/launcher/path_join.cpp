#include "launcher/path_join.h"

namespace rivelo::launcher {

namespace {

bool needs_separator(std::wstring_view root) {
    if (root.empty()) return false;
    const wchar_t last = root.back();
    if (last == L'\\' || last == L'/') return false;
    const bool bare_drive = root.size() == 2 && root[1] == L':';
    return !bare_drive;
}

}  // namespace

std::wstring path_join(std::wstring_view root, std::wstring_view relative) {
    std::wstring joined(root);
    if (needs_separator(root)) joined += L'\\';
    joined += relative;
    return joined;
}

}  // namespace rivelo::launcher
