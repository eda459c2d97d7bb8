#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "servers/child_processes.h"

namespace rivelo::test {

// Stands in for the child-process layer under a stop action: records every
// start and wait, and whether a watched file existed at that moment; fails
// the starts and waits it is told to. A started child holds a real event
// handle, so that it can be told apart from the others and closed.
class RecordingChildProcesses final : public servers::ChildProcesses {
public:
    enum class Operation { start, wait };

    struct Call {
        Operation operation;
        std::wstring program;
        std::optional<std::wstring> argument;
        bool file_present;
        bool operator==(const Call&) const = default;
    };

    explicit RecordingChildProcesses(std::wstring watched_file = {});

    platform::Result<platform::ChildProcess> start_child(
        const std::wstring& program, const std::optional<std::wstring>& argument) override;
    // Stop actions never poll: a call fails the test.
    platform::Result<platform::ExitPoll> wait_exit_for(const platform::ChildProcess& child,
                                                       std::chrono::milliseconds timeout) override;
    platform::Result<std::uint32_t> wait_exit(const platform::ChildProcess& child) override;
    // The failures given here never pass: a pause to try again fails the test.
    void pause_before_retry(std::chrono::milliseconds pause) override;

    // Keyed by the argument of the helper concerned.
    std::map<std::wstring, std::error_code> start_failures;
    std::map<std::wstring, std::error_code> wait_failures;
    // What every successful wait gives.
    std::uint32_t exit_code = 1;

    std::vector<Call> calls;

private:
    struct Started {
        std::wstring program;
        std::optional<std::wstring> argument;
    };

    [[nodiscard]] bool watched_file_present() const;

    std::wstring watched_file_;
    std::map<void*, Started> started_;
};

void PrintTo(const RecordingChildProcesses::Call& call, std::ostream* out);

}  // namespace rivelo::test
