#include "servers/child_processes.h"

#include <thread>

namespace rivelo::servers {

namespace {

class SystemChildProcesses final : public ChildProcesses {
public:
    platform::Result<platform::ChildProcess> start_child(
        const std::wstring& program, const std::optional<std::wstring>& argument) override {
        return platform::start_child(program, argument);
    }
    platform::Result<platform::ExitPoll> wait_exit_for(const platform::ChildProcess& child,
                                                       std::chrono::milliseconds timeout) override {
        return platform::wait_exit_for(child, timeout);
    }
    platform::Result<std::uint32_t> wait_exit(const platform::ChildProcess& child) override {
        return platform::wait_exit(child);
    }
    void pause_before_retry(std::chrono::milliseconds pause) override {
        std::this_thread::sleep_for(pause);
    }
};

}  // namespace

ChildProcesses& system_child_processes() {
    static SystemChildProcesses children;
    return children;
}

}  // namespace rivelo::servers
