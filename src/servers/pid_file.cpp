#include "servers/pid_file.h"

#include <cstdint>
#include <thread>

#include "platform/filesystem.h"
#include "platform/system_error.h"

namespace rivelo::servers {

namespace {

constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kSharingViolation = 32;

constexpr auto kHeldPidFileRetries = kHeldPidFilePatience / kHeldPidFilePause;

bool is(std::error_code error, std::uint32_t code) { return error == platform::win32_error(code); }

}  // namespace

const PidFileAccess& system_pid_file_access() {
    static const PidFileAccess access{
        .can_read_attributes = platform::can_read_attributes,
        .delete_file = platform::delete_file,
        .pause = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); },
    };
    return access;
}

std::error_code delete_pid_file(const std::wstring& path, const PidFileAccess& access) {
    if (!access.can_read_attributes(path)) return {};
    for (auto retries = kHeldPidFileRetries;; --retries) {
        const std::error_code error = access.delete_file(path);
        // Gone since the attribute check: someone else removed it.
        if (is(error, kFileNotFound) || is(error, kPathNotFound)) return {};
        if (!is(error, kSharingViolation) || retries == 0) return error;
        access.pause(kHeldPidFilePause);
    }
}

}  // namespace rivelo::servers
