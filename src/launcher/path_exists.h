#pragma once

#include <string>
#include <system_error>

#include "platform/system_error.h"

namespace rivelo::launcher {

enum class PathExistence { exists, missing };

// Whether a file or folder exists at the path. Errors that say "not there"
// answer missing; errors that prove something is there answer exists; any
// other error (access denied, a malformed name) is the test's own failure.
platform::Result<PathExistence> path_exists(const std::wstring& path);

// The same classification applied to the error of the opening call.
platform::Result<PathExistence> classify_open_error(std::error_code error);

}  // namespace rivelo::launcher
