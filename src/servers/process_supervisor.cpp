#include "servers/process_supervisor.h"

#include <utility>

#include "platform/failure.h"
#include "servers/child_start_retry.h"

namespace rivelo::servers {

namespace {

constexpr wchar_t kCannotReap[] = L"cannot wait for the server '";

// Asks the server to stop until it has exited. After each request the server
// gets kStopGrace to exit before it is asked again. A failed look at the
// server ends the loop: the wait that follows decides.
void drive_down(const platform::ChildProcess& child, const StopAction& stop,
                ChildProcesses& children) {
    auto polled = children.wait_exit_for(child, std::chrono::milliseconds::zero());
    while (polled.ok() && !polled.value().exited) {
        stop();
        polled = children.wait_exit_for(child, kStopGrace);
    }
}

}  // namespace

void supervise(const std::wstring& program, const std::optional<std::wstring>& argument,
               const StopAction& stop, service::RunStateRef run_state, ChildProcesses& children) {
    // The reference is released explicitly before each return: a parameter
    // may live on until the end of the caller's expression.
    // A stop seen during a retry's pause ends the retrying: a server started
    // then would only be driven down again.
    auto started = start_child_with_retry(children, program, argument, [&] {
        return run_state->read() != service::ServiceState::StopPending;
    });
    if (!started.ok()) {
        run_state.reset();  // the server is given up silently
        return;
    }
    platform::ChildProcess& child = started.value();

    run_state->wait_for_stop();
    drive_down(child, stop, children);

    const auto reaped = children.wait_exit(child);
    if (!reaped.ok()) {
        throw platform::FatalError(kCannotReap + program + L"': " +
                                   platform::describe(reaped.error()));
    }
    platform::close_child(std::move(child));
    run_state.reset();
}

}  // namespace rivelo::servers
