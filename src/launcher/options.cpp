#include "launcher/options.h"

#include "launcher/path_exists.h"
#include "launcher/unicode_text.h"
#include "platform/failure.h"

namespace rivelo::launcher {

namespace {

constexpr std::wstring_view kRootOption = L"-w";
constexpr std::wstring_view kDtrsOption = L"--dtrs";

void check_root_value(const std::wstring& value) {
    const auto existence = path_exists(value);
    if (!existence.ok()) throw platform::FatalError(platform::describe(existence.error()));
    if (existence.value() == PathExistence::missing) {
        throw platform::FatalError(L"Specified working directory '" + value + L"' does not exist");
    }
}

void check_dtrs_value(const std::wstring& value) {
    if (!value.empty() && value.front() == L'-') {
        throw platform::FatalError(L"Invalid argument for '--dtrs'");
    }
}

}  // namespace

OptionMap parse_options(const std::vector<std::wstring>& arguments) {
    // Blank arguments go before the scan, so one is never taken as a value.
    std::vector<std::wstring> kept;
    for (const std::wstring& argument : arguments) {
        if (!is_blank(argument)) kept.push_back(argument);
    }

    OptionMap options;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const std::wstring& argument = kept[i];
        const bool is_root = argument == kRootOption;
        const bool is_dtrs = argument == kDtrsOption;
        if (!is_root && !is_dtrs) continue;
        if (i + 1 == kept.size()) break;  // an option without a value has no effect
        const std::wstring& value = kept[++i];
        if (is_root) {
            check_root_value(value);
            options[kRootKey] = value;
        } else {
            check_dtrs_value(value);
            options[kDtrsKey] = value;
        }
    }
    return options;
}

}  // namespace rivelo::launcher
