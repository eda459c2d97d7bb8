#include "platform/filesystem.h"

#include <windows.h>

#include <algorithm>
#include <array>

#include "platform/unique_handle.h"

namespace rivelo::platform {

namespace {

// FileDispositionInfoEx as the Windows SDK numbers it; mingw-w64 headers leave
// it out at the default target version.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// FILE_DISPOSITION_FLAG_DELETE | _POSIX_SEMANTICS | _IGNORE_READONLY_ATTRIBUTE
constexpr DWORD kDeleteIgnoringReadOnly = 0x13;

std::error_code mark_deleted_posix(HANDLE file) {
    struct {
        DWORD Flags;
    } info{kDeleteIgnoringReadOnly};
    if (!SetFileInformationByHandle(file, kFileDispositionInfoEx, &info, sizeof info)) {
        return last_error();
    }
    return {};
}

std::error_code mark_deleted_classic(HANDLE file) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        return last_error();
    }
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) {
        return last_error();
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
        return last_error();
    }
    return {};
}

bool lacks_information_class(std::error_code error) {
    constexpr std::array<DWORD, 3> kAnswers = {ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED,
                                               ERROR_INVALID_FUNCTION};
    return std::ranges::any_of(kAnswers,
                               [error](DWORD code) { return error == win32_error(code); });
}

}  // namespace

std::error_code open_existing(const std::wstring& path) {
    UniqueHandle handle(CreateFileW(path.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return last_error();
    return {};
}

std::error_code set_current_directory(const std::wstring& path) {
    if (!SetCurrentDirectoryW(path.c_str())) return last_error();
    return {};
}

Result<std::wstring> current_program_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return last_error();
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);  // truncated: grow until the path fits
    }
}

Result<std::wstring> system_folder() {
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size == 0) return last_error();
    std::wstring buffer(size, L'\0');
    const UINT length = GetSystemDirectoryW(buffer.data(), size);
    if (length == 0 || length >= size) return last_error();
    buffer.resize(length);
    return buffer;
}

Result<std::wstring> full_path(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return last_error();
    std::wstring buffer(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
    if (length == 0 || length >= size) return last_error();
    buffer.resize(length);
    return buffer;
}

bool can_read_attributes(const std::wstring& path) {
    UniqueHandle handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle.get(), &info) != 0;
}

std::error_code delete_file(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return {};
    const std::error_code refused = last_error();
    if (refused.value() != ERROR_ACCESS_DENIED) return refused;

    UniqueHandle file(CreateFileW(path.c_str(),
                                  DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return refused;
    const std::error_code marked = mark_read_only_deleted({
        .ignoring_read_only = [&file] { return mark_deleted_posix(file.get()); },
        .clearing_read_only = [&file] { return mark_deleted_classic(file.get()); },
    });
    return marked ? refused : std::error_code{};
}

std::error_code mark_read_only_deleted(const ReadOnlyDeletion& ways) {
    const std::error_code error = ways.ignoring_read_only();
    if (!lacks_information_class(error)) return error;
    return ways.clearing_read_only();
}

}  // namespace rivelo::platform
