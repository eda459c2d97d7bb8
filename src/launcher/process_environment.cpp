#include "launcher/process_environment.h"

#include <algorithm>

#include "launcher/path_join.h"
#include "launcher/unicode_text.h"
#include "platform/environment.h"
#include "platform/failure.h"
#include "platform/filesystem.h"

namespace rivelo::launcher {

namespace {

constexpr wchar_t kRootVariable[] = L"KVR_ROOT";
constexpr wchar_t kPathVariable[] = L"PATH";
constexpr wchar_t kImagickFolder[] = L"php\\lib\\imagick";

void set_variable(const std::wstring& name, const std::wstring& value) {
    if (const std::error_code error = platform::set_environment_variable(name, value)) {
        throw platform::FatalError(L"cannot set " + name + L" to '" + value + L"': " +
                                   platform::describe(error));
    }
}

}  // namespace

void prepare_environment(const std::wstring& root_dir) {
    if (const std::error_code error = platform::set_current_directory(root_dir)) {
        throw platform::FatalError(L"cannot change the working directory to '" + root_dir + L"': " +
                                   platform::describe(error));
    }
    if (!is_well_formed(root_dir)) {
        throw platform::FatalError(L"the root directory is not well-formed Unicode");
    }

    std::wstring slashed = root_dir;
    std::ranges::replace(slashed, L'\\', L'/');
    set_variable(kRootVariable, slashed);

    const std::optional<std::wstring> path = platform::get_environment_variable(kPathVariable);
    if (!path) throw platform::FatalError(L"PATH is not set");
    if (!is_well_formed(*path)) throw platform::FatalError(L"PATH is not well-formed Unicode");

    const std::wstring imagick_dir = path_join(root_dir, kImagickFolder);
    set_variable(kPathVariable, *path + L";" + imagick_dir);
}

}  // namespace rivelo::launcher
