#include "platform/text.h"

#include <windows.h>

namespace rivelo::platform {

std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring to_wide(std::string_view text) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::wstring decimal(std::uint64_t value) {
    if (value == 0) return L"0";
    std::wstring digits;
    for (; value != 0; value /= 10) {
        digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + (value % 10)));
    }
    return digits;
}

std::wstring decimal(std::int64_t value) {
    if (value >= 0) return decimal(static_cast<std::uint64_t>(value));
    return L"-" + decimal(0 - static_cast<std::uint64_t>(value));
}

bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) noexcept {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace rivelo::platform
