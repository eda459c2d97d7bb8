#pragma once

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

// The absolute form of a path, resolved against the current directory.
Result<std::wstring> full_path(const std::wstring& path);

// True when the file exists and its attributes can be read.
bool can_read_attributes(const std::wstring& path);

// Deletes a file, also one marked read-only. When the plain delete is refused
// with access denied, the file is opened for deletion without following a
// link and marked deleted; if that fails too, the access-denied error stands.
std::error_code delete_file(const std::wstring& path);

}  // namespace rivelo::platform
