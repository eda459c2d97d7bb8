#include "platform/console.h"

#include <windows.h>

#include <string>

#include "platform/system_error.h"
#include "platform/text.h"

namespace rivelo::platform {

namespace {

constexpr std::wstring_view kReportPrefix = L"rivelo_svc: ";

// Null when the process has no standard error (as under the service manager).
HANDLE standard_error_handle() {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
}

std::error_code write_all(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
            return last_error();
        }
        bytes.remove_prefix(written);
    }
    return {};
}

}  // namespace

StandardErrorResult write_standard_error(std::string_view bytes) {
    HANDLE handle = standard_error_handle();
    if (handle == nullptr) return {StandardErrorWrite::no_handle, {}};
    if (const std::error_code error = write_all(handle, bytes)) {
        return {StandardErrorWrite::failed, error};
    }
    return {StandardErrorWrite::written, {}};
}

void write_report(std::wstring_view message) {
    HANDLE handle = standard_error_handle();
    if (handle == nullptr) return;
    std::wstring line(kReportPrefix);
    line += message;
    line += L'\n';
    if (is_console(handle)) {
        DWORD written = 0;
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    static_cast<void>(write_all(handle, to_utf8(line)));  // a report that cannot be written is lost
}

}  // namespace rivelo::platform
