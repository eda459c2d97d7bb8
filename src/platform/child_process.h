#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/system_error.h"
#include "platform/unique_handle.h"

namespace rivelo::platform {

// One started child: its process and primary-thread handles.
struct ChildProcess {
    UniqueHandle process;
    UniqueHandle thread;
};

struct ExitPoll {
    bool exited = false;
    std::uint32_t exit_code = 0;  // meaningful once exited
};

// The command line a child gets: the program in double quotes, then, with an
// argument, one space and the argument exactly as given.
std::wstring child_command_line(const std::wstring& program,
                                const std::optional<std::wstring>& argument);

// Starts the program (no search along PATH) with the process's environment,
// working directory and standard handles; the child inherits no other handle
// of the process. Text holding a NUL is refused before anything is created.
Result<ChildProcess> start_child(const std::wstring& program,
                                 const std::optional<std::wstring>& argument);

// Whether the child has exited, waiting at most `timeout` (zero: never blocks).
Result<ExitPoll> wait_exit_for(const ChildProcess& child, std::chrono::milliseconds timeout);

inline Result<ExitPoll> poll_exit(const ChildProcess& child) {
    return wait_exit_for(child, std::chrono::milliseconds::zero());
}

// Waits without limit and gives the exit code.
Result<std::uint32_t> wait_exit(const ChildProcess& child);

// Closes the process handle, then the thread handle.
void close_child(ChildProcess child);

}  // namespace rivelo::platform
