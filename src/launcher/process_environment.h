#pragma once

#include <string>

namespace rivelo::launcher {

// Makes the root directory the working directory, sets KVR_ROOT to the root
// with forward slashes, and appends the root's php\lib\imagick folder to
// PATH. Every child inherits all three. Throws FatalError.
void prepare_environment(const std::wstring& root_dir);

}  // namespace rivelo::launcher
