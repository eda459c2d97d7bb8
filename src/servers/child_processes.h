#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/child_process.h"

namespace rivelo::servers {

// The child-process operations that the supervisor and the stop actions use,
// behind an interface so that tests can drive them with fakes.
class ChildProcesses {
public:
    virtual ~ChildProcesses() = default;
    virtual platform::Result<platform::ChildProcess> start_child(
        const std::wstring& program, const std::optional<std::wstring>& argument) = 0;
    virtual platform::Result<platform::ExitPoll> wait_exit_for(
        const platform::ChildProcess& child, std::chrono::milliseconds timeout) = 0;
    virtual platform::Result<std::uint32_t> wait_exit(const platform::ChildProcess& child) = 0;
    // The wait between two attempts to start a child (see child_start_retry.h),
    // here so that tests see the pauses without spending them.
    virtual void pause_before_retry(std::chrono::milliseconds pause) = 0;
};

// The real operations of the platform layer.
ChildProcesses& system_child_processes();

}  // namespace rivelo::servers
