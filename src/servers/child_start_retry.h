#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

#include "servers/child_processes.h"

namespace rivelo::servers {

// Attempts in all for one start of a child.
inline constexpr int kStartAttempts = 5;
// The pause before the second attempt; each later pause is twice the one
// before: 50, 100, 200 and 400 ms, 750 ms in all.
inline constexpr std::chrono::milliseconds kFirstStartRetryPause{50};

// Whether a start refused with this error is tried again: the system was
// short of memory or resources, or the new process died in its own start-up.
bool is_passing_start_failure(std::error_code error);

// Asked after each pause, before the attempt that follows it: false ends the
// retrying, and the last refusal is returned.
using RetryAllowed = std::function<bool()>;

// The one way the service starts a child. A start that the system refused for
// a passing reason (it was short of memory or resources, or the new process
// died in its own start-up) is tried again after a pause, up to
// kStartAttempts in all, while `retry_allowed` says so. Any other failure is
// returned at once, and a passing one that lasts through the last attempt is
// returned like any other.
platform::Result<platform::ChildProcess> start_child_with_retry(
    ChildProcesses& children, const std::wstring& program,
    const std::optional<std::wstring>& argument,
    const RetryAllowed& retry_allowed = [] { return true; });

}  // namespace rivelo::servers
