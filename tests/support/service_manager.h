#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/unique_handle.h"

namespace rivelo::test {

// Win32 service states, as the service control manager reports them.
enum class ScmState : std::uint32_t {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7,
};

const char* state_name(std::uint32_t state);

struct ServiceStatusSnapshot {
    std::uint32_t state = 0;
    std::uint32_t process_id = 0;
    std::uint32_t win32_exit_code = 0;
};

// One service of the local service control manager, deleted when the object
// goes (after it has been stopped, or its process has ended).
class ManagedService {
public:
    // Registers an own-process service on demand start with this command line.
    ManagedService(const std::wstring& name, const std::wstring& command_line);
    ~ManagedService();
    ManagedService(const ManagedService&) = delete;
    ManagedService& operator=(const ManagedService&) = delete;
    ManagedService(ManagedService&&) noexcept = default;
    ManagedService& operator=(ManagedService&&) = delete;

    // Opens an existing service.
    static std::optional<ManagedService> open(const std::wstring& name);

    [[nodiscard]] const std::wstring& name() const { return name_; }
    // StartServiceW and ControlService run under a watchdog: a call that has
    // not returned within kServiceCallBound ends the program with the state
    // the manager reports and whether the service process had ended.
    [[nodiscard]] bool start();
    // Sends a control code (ControlService); false when it was refused.
    [[nodiscard]] bool control(std::uint32_t code);
    // Sends the stop control. True also when the service process ended
    // before the manager could pass the answer on (Wine then reports a
    // broken pipe), and when the manager stopped waiting for the answer
    // (1053) while the stop goes on, as a loaded machine's stop may take
    // longer than Wine's 10 s: whether it stopped shows in its state.
    [[nodiscard]] bool stop();
    [[nodiscard]] ServiceStatusSnapshot query() const;
    // Polls until the state is reached; false on time-out.
    [[nodiscard]] bool wait_for(ScmState state, std::chrono::milliseconds timeout) const;
    void remove();

private:
    struct CloseServiceHandle {
        void operator()(void* handle) const noexcept;
    };
    using ServiceHandle = std::unique_ptr<void, CloseServiceHandle>;

    ManagedService(std::wstring name, ServiceHandle manager, ServiceHandle service, bool owned);

    // The state as the manager reports it and, given the service process,
    // whether that has ended.
    [[nodiscard]] std::string describe(void* process) const;

    std::wstring name_;
    ServiceHandle manager_;
    ServiceHandle service_;
    bool delete_on_destruction_ = false;
};

// A handle to a running process, for waiting on it and reading its exit code.
platform::UniqueHandle open_process(std::uint32_t pid);

// Waits for the process to end; its exit code, or nothing on time-out.
std::optional<std::uint32_t> wait_for_process(void* process, std::chrono::milliseconds timeout);

}  // namespace rivelo::test
