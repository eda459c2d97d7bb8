#pragma once

#include <cstdint>
#include <string>

#include "platform/system_error.h"

namespace rivelo::platform {

// What the service control manager tells anyone about a service.
struct ServiceReport {
    std::uint32_t state = 0;       // a SERVICE_* state code (kServiceStopped...)
    std::uint32_t process_id = 0;  // 0 while no process runs it
    std::wstring command_line;     // as registered (BINARY_PATH_NAME)
};

// Reads a service's status and registered command line with read-only access
// (QueryServiceStatusEx, QueryServiceConfigW), which no administrator rights
// are needed for. ERROR_SERVICE_DOES_NOT_EXIST when there is no such service.
Result<ServiceReport> query_service(const std::wstring& name);

}  // namespace rivelo::platform
