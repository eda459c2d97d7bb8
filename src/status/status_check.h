#pragma once

#include <array>
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

// The troubleshooting guide's entries that the verdicts name, by their
// headings (in the zip's TROUBLESHOOTING.txt and docs/troubleshooting.md).
namespace guide_entry {
inline constexpr wchar_t kServersMissing[] =
    L"The service is RUNNING, but the web server or the database is not running";
inline constexpr wchar_t kOtherStack[] =
    L"The service runs, but the stack of another folder answers";
inline constexpr wchar_t kStartFails[] = L"sc start fails";
inline constexpr wchar_t kStopAnswers1053[] = L"sc stop answers 1053";
inline constexpr wchar_t kDatabaseLeft[] =
    L"The service ended at a stop, and the database still runs";
}  // namespace guide_entry
inline constexpr std::array kGuideEntries = {
    guide_entry::kServersMissing, guide_entry::kOtherStack, guide_entry::kStartFails,
    guide_entry::kStopAnswers1053, guide_entry::kDatabaseLeft};

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
