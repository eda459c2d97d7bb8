#include "servers/child_start_retry.h"

#include <algorithm>
#include <array>

namespace rivelo::servers {

namespace {

// Win32 codes of a start refused for want of something that the system gets
// back soon; the same start may then succeed.
constexpr std::array kPassingStartFailures = {
    8,     // ERROR_NOT_ENOUGH_MEMORY
    14,    // ERROR_OUTOFMEMORY
    1359,  // ERROR_INTERNAL_ERROR: the new process died before the program ran
           // (Wine under heavy load)
    1450,  // ERROR_NO_SYSTEM_RESOURCES
    1455,  // ERROR_COMMITMENT_LIMIT: the paging file is full
};

}  // namespace

bool is_passing_start_failure(std::error_code error) {
    return error.category() == platform::win32_category() &&
           std::ranges::find(kPassingStartFailures, error.value()) != kPassingStartFailures.end();
}

platform::Result<platform::ChildProcess> start_child_with_retry(
    ChildProcesses& children, const std::wstring& program,
    const std::optional<std::wstring>& argument, const RetryAllowed& retry_allowed) {
    auto started = children.start_child(program, argument);
    auto pause = kFirstStartRetryPause;
    for (int attempt = 2;
         attempt <= kStartAttempts && !started.ok() && is_passing_start_failure(started.error());
         ++attempt) {
        children.pause_before_retry(pause);
        pause *= 2;
        if (!retry_allowed()) break;
        started = children.start_child(program, argument);
    }
    return started;
}

}  // namespace rivelo::servers
