#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/unique_handle.h"

namespace rivelo::test {

// A process opened by its id while it is known to run, so that its end can
// be observed later even after the id has been reused.
class WatchedProcess {
public:
    explicit WatchedProcess(std::uint32_t pid);
    explicit WatchedProcess(platform::UniqueHandle process) : process_(std::move(process)) {}

    [[nodiscard]] bool exits_within(std::chrono::milliseconds timeout) const;
    [[nodiscard]] bool running() const;
    [[nodiscard]] std::uint32_t exit_code() const;
    void terminate() const;

private:
    platform::UniqueHandle process_;
};

// Starts the program with its quoted path as its command line, in the
// current working directory, with these CreateProcessW creation flags.
WatchedProcess start_process(const std::wstring& program, std::uint32_t creation_flags = 0);

}  // namespace rivelo::test
