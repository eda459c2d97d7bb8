#include "platform/system_error.h"

#include <windows.h>

#include "platform/text.h"

namespace rivelo::platform {

namespace {

std::wstring system_description(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) return L"Unknown error";
    std::wstring text(buffer, length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.pop_back();
    }
    return text;
}

class Win32Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "win32"; }
    std::string message(int code) const override {
        return to_utf8(system_description(static_cast<DWORD>(code)));
    }
};

// Constant-initialised at namespace scope: a function-local static would
// need a thread-safe guard, and with it the threading library.
constinit const Win32Category kWin32Category;

}  // namespace

const std::error_category& win32_category() noexcept { return kWin32Category; }

std::error_code last_error() noexcept { return win32_error(GetLastError()); }

std::wstring describe(std::error_code error) {
    std::wstring text = error.category() == win32_category()
                            ? system_description(static_cast<DWORD>(error.value()))
                            : to_wide(error.message());
    return text + L" (os error " + decimal(std::int64_t{error.value()}) + L")";
}

}  // namespace rivelo::platform
