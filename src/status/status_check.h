#pragma once

#include <string>
#include <vector>

#include "status/status_system.h"

namespace rivelo::status {

// The exit statuses of rivelo_status.exe.
inline constexpr int kAllUp = 0;
inline constexpr int kServiceNotRunning = 1;
inline constexpr int kServerMissing = 2;
inline constexpr int kBadUsageOrNoService = 3;

inline constexpr wchar_t kDefaultServiceName[] = L"Rivelo";

struct StatusOutcome {
    int exit_status = kAllUp;
    std::wstring output;  // for standard output: the table and the verdict
    std::wstring error;   // for standard error: the usage message
};

// The whole run of the program for its argument list (entry 0 is the program
// itself): reads the service, finds the server processes and says whether
// the stack is up. Throws FatalError when the machine cannot be read.
StatusOutcome check_status(const std::vector<std::wstring>& arguments, StatusSystem& system);

}  // namespace rivelo::status
