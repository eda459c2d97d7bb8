#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <system_error>

namespace rivelo::servers {

// A pid file that another program holds open without delete sharing (a virus
// scanner or backup tool reading it) is usually let go within moments: its
// deletion is tried again after each pause, for about a second in all.
inline constexpr std::chrono::milliseconds kHeldPidFilePause{50};
inline constexpr std::chrono::milliseconds kHeldPidFilePatience{1000};

// The system operations that deleting the pid file uses; tests replace some.
struct PidFileAccess {
    std::function<bool(const std::wstring& path)> can_read_attributes;
    std::function<std::error_code(const std::wstring& path)> delete_file;
    std::function<void(std::chrono::milliseconds)> pause;
};

// The platform's operations and a real sleep.
const PidFileAccess& system_pid_file_access();

// Deletes the pid file if its attributes can be read (a file whose attributes
// cannot be read counts as missing). A file or folder found gone at the
// deletion counts as deleted; a sharing violation is tried again after pauses
// of kHeldPidFilePause, kHeldPidFilePatience in all. Gives the error that
// stands, if any.
std::error_code delete_pid_file(const std::wstring& path,
                                const PidFileAccess& access = system_pid_file_access());

}  // namespace rivelo::servers
