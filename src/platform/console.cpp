#include "platform/console.h"

#include <windows.h>

#include <string>

#include "platform/system_error.h"
#include "platform/text.h"

namespace rivelo::platform {

namespace {

constexpr std::wstring_view kReportPrefix = L"rivelo_svc: ";

// Null when the process has no such handle (as under the service manager).
HANDLE standard_handle(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

HANDLE standard_error_handle() { return standard_handle(STD_ERROR_HANDLE); }

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

// A console gets the text as UTF-16; a file or pipe gets UTF-8. Text that
// cannot be written is lost: there is nowhere else to tell.
void write_text(HANDLE handle, std::wstring_view text) {
    if (handle == nullptr) return;
    if (is_console(handle)) {
        DWORD written = 0;
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    static_cast<void>(write_all(handle, to_utf8(text)));
}

}  // namespace

void write_output_text(std::wstring_view text) {
    write_text(standard_handle(STD_OUTPUT_HANDLE), text);
}

void write_error_text(std::wstring_view text) { write_text(standard_error_handle(), text); }

StandardErrorResult write_standard_error(std::string_view bytes) {
    HANDLE handle = standard_error_handle();
    if (handle == nullptr) return {StandardErrorWrite::no_handle, {}};
    if (const std::error_code error = write_all(handle, bytes)) {
        return {StandardErrorWrite::failed, error};
    }
    return {StandardErrorWrite::written, {}};
}

void write_report(std::wstring_view message) {
    std::wstring line(kReportPrefix);
    line += message;
    line += L'\n';
    write_error_text(line);
}

}  // namespace rivelo::platform
