#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "servers/child_processes.h"
#include "service/run_state.h"

namespace rivelo::servers {

// Asks one server to stop; may be called any number of times.
using StopAction = std::function<void()>;

// How long the stop loop waits for the server to exit after each stop action
// before it asks again: long enough for a server that is shutting down, short
// enough that one that ignored the request is asked again promptly.
inline constexpr std::chrono::milliseconds kStopGrace{250};

// Runs the program until the run state holds StopPending, then calls the stop
// action until the program has exited, reaps it and closes its handles. A
// program that cannot be started, even when tried again (child_start_retry.h),
// is given up silently; so is one whose start is still being retried when the
// run state holds StopPending: no further attempt is made.
void supervise(const std::wstring& program, const std::optional<std::wstring>& argument,
               const StopAction& stop, service::RunStateRef run_state,
               ChildProcesses& children = system_child_processes());

}  // namespace rivelo::servers
