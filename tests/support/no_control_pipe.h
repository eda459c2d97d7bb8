#pragma once

#include <cstdint>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

namespace rivelo::test {

// The number of the control pipe the manager opened last, as it keeps it in
// HKLM\SYSTEM\CurrentControlSet\Control\ServiceCurrent; empty before its
// first service start.
std::optional<std::uint32_t> control_pipe_count();

// Whether the manager's control pipe of this number is there.
bool control_pipe_exists(std::uint32_t number);

// Leaves Wine's service dispatcher, called outside the service control
// manager, no control pipe to open while this object lives.
//
// Wine's StartServiceCtrlDispatcherW opens the control pipe whose number it
// reads from HKLM\SYSTEM\CurrentControlSet\Control\ServiceCurrent
// (service_open_pipe and service_get_pipe_name in dlls/sechost/service.c),
// the pipe of the service started last, and takes whatever start message it
// finds there as its own (find_service_by_name answers with the only entry
// of a one-entry table). Run by hand while a service starts, the program
// would run as that service. So the value is pointed at a number the
// manager has never used: the manager numbers each new control pipe
// max(its count, value + 1) and then writes that number back
// (service_get_pipe_name in programs/services/services.c), so it never
// opens a pipe of that number, and the dispatcher fails at once.
//
// On Windows the manager checks which process connects, and nothing is
// changed.
class NoControlPipe {
public:
    // Points the value past every number the manager has used; throws when
    // the pipe of that number is there all the same.
    NoControlPipe();
    NoControlPipe(const NoControlPipe&) = delete;
    NoControlPipe& operator=(const NoControlPipe&) = delete;
    ~NoControlPipe() = default;

    // Why a run made since the construction is void: the manager started a
    // service meanwhile, and the dispatcher may have opened its pipe. Empty
    // when nothing started. Throws when the manager opened the pipe of the
    // number pointed at, against its numbering rule above.
    [[nodiscard]] std::optional<std::string> disturbance() const;

private:
    std::optional<std::uint32_t> pointed_at_;
};

// Runs `run`, which calls the service dispatcher outside the service control
// manager (directly, or by running the program by hand), with no control
// pipe to open. A run during which a service started is void: it is made
// again once, with the reason printed. When a service starts during the
// repeat too, the test fails with both reasons.
template <class Run>
auto run_with_no_control_pipe(Run&& run) {
    std::optional<std::string> first_disturbance;
    for (;;) {
        const NoControlPipe no_pipe;
        auto result = run();
        const std::optional<std::string> disturbance = no_pipe.disturbance();
        if (!disturbance) return result;
        if (first_disturbance) {
            throw std::runtime_error("a service started during the run and during its repeat: " +
                                     *first_disturbance + "; then " + *disturbance);
        }
        std::cout << "run void, made again: " << *disturbance << '\n' << std::flush;
        first_disturbance = disturbance;
    }
}

}  // namespace rivelo::test
