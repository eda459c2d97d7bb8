#include "launcher/root_dir.h"

#include "platform/failure.h"
#include "platform/filesystem.h"

namespace rivelo::launcher {

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

std::wstring folder_of_program() {
    auto program = platform::current_program_path();
    if (!program.ok()) {
        throw platform::FatalError(L"cannot get the program's path: " +
                                   platform::describe(program.error()));
    }
    std::wstring folder = parent_folder(program.value());
    if (folder.empty()) {
        throw platform::FatalError(L"the program's path '" + program.value() + L"' has no folder");
    }
    return folder;
}

}  // namespace

bool is_absolute(std::wstring_view path) noexcept {
    if (path.size() >= 3 && is_drive_letter(path[0]) && path[1] == L':' && is_separator(path[2])) {
        return true;
    }
    return path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
}

std::wstring parent_folder(std::wstring_view path) {
    const std::size_t last = path.find_last_of(L"\\/");
    if (last == std::wstring_view::npos || last + 1 == path.size()) return {};
    std::wstring_view parent = path.substr(0, last);
    // Keep the separator of a root: "C:\" or "\".
    if (parent.empty() || parent.back() == L':') parent = path.substr(0, last + 1);
    return std::wstring(parent);
}

std::wstring resolve_root_dir(const OptionMap& options) {
    const auto root = options.find(kRootKey);
    if (root == options.end()) return folder_of_program();
    if (is_absolute(root->second)) return root->second;
    // A relative root would be resolved against itself once it is the working
    // directory; fix it against the directory the program started in.
    auto absolute = platform::full_path(root->second);
    if (!absolute.ok()) {
        throw platform::FatalError(L"cannot resolve the full path of '" + root->second + L"': " +
                                   platform::describe(absolute.error()));
    }
    return absolute.value();
}

}  // namespace rivelo::launcher
