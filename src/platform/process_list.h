#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system_error.h"

namespace rivelo::platform {

// One process of the machine, as a process snapshot lists it.
struct ProcessEntry {
    std::uint32_t pid = 0;
    std::uint32_t parent_pid = 0;
    std::wstring image_name;  // the program's file name, e.g. L"httpd.exe"
};

// Every process of the machine (Toolhelp snapshot).
Result<std::vector<ProcessEntry>> list_processes();

// The full path of a process's program (QueryFullProcessImageNameW), opened
// with the least access that reads it. ERROR_ACCESS_DENIED when the caller
// may not read it.
Result<std::wstring> process_image_path(std::uint32_t pid);

}  // namespace rivelo::platform
