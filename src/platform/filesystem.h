#pragma once

#include <functional>
#include <string>
#include <system_error>

#include "platform/system_error.h"

namespace rivelo::platform {

// Opens the path as an existing file or folder with no access rights, sharing
// everything, and closes it again. Returns the error of the open, if any.
std::error_code open_existing(const std::wstring& path);

std::error_code set_current_directory(const std::wstring& path);

// The full path of the running program's file.
Result<std::wstring> current_program_path();

// The system folder (GetSystemDirectoryW), e.g. C:\Windows\System32: where a
// service's process starts.
Result<std::wstring> system_folder();

// The absolute form of a path, resolved against the current directory.
Result<std::wstring> full_path(const std::wstring& path);

// True when the file exists and its attributes can be read.
bool can_read_attributes(const std::wstring& path);

// The two ways to mark a file that is open for deletion as deleted although it
// is read-only; each gives the error of its platform call.
struct ReadOnlyDeletion {
    // FileDispositionInfoEx with POSIX semantics, ignoring the read-only bit.
    std::function<std::error_code()> ignoring_read_only;
    // Clears the read-only bit, then FileDispositionInfo.
    std::function<std::error_code()> clearing_read_only;
};

// Tries the first way; where the file system does not implement its
// information class (ERROR_INVALID_PARAMETER from older Windows and Wine,
// ERROR_NOT_SUPPORTED or ERROR_INVALID_FUNCTION from network redirectors),
// the second. Gives the error of the last way tried.
std::error_code mark_read_only_deleted(const ReadOnlyDeletion& ways);

// Deletes a file, also one marked read-only. When the plain delete is refused
// with access denied, the file is opened for deletion without following a
// link and marked deleted; if that fails too, the access-denied error stands.
std::error_code delete_file(const std::wstring& path);

}  // namespace rivelo::platform
