#include "platform/environment.h"

#include <windows.h>

#include "platform/system_error.h"

namespace rivelo::platform {

std::optional<std::wstring> get_environment_variable(const std::wstring& name) {
    std::wstring buffer(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::wstring{};
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length);  // too small: length is the size needed, terminator included
    }
}

std::error_code set_environment_variable(const std::wstring& name, const std::wstring& value) {
    if (!SetEnvironmentVariableW(name.c_str(), value.c_str())) return last_error();
    return {};
}

}  // namespace rivelo::platform
