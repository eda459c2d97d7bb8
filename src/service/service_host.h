#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/service_control.h"
#include "platform/win_api.h"
#include "service/guarded.h"
#include "service/service_command.h"
#include "service/service_handler.h"
#include "service/service_state.h"

namespace rivelo::service {

// The failure of `run` when the process was not started by the service
// control manager.
inline constexpr std::wstring_view kNotStartedByServiceManager =
    L"Use service control manager to start service";

inline constexpr std::wstring_view kRunAlreadyCalled = L"`run` was already called";
inline constexpr std::wstring_view kUnexpectedState = L"unexpected state";

// The Win32 state code of a service state.
std::uint32_t win32_state_code(ServiceState state) noexcept;

// The service state of a Win32 state code; a code outside 1..7 is a fatal
// failure ("unexpected state").
ServiceState service_state_from_code(std::uint32_t code);

// The process's connection to the service control manager: runs the
// dispatcher, keeps the one status record that every report sends, and turns
// the manager's requests into commands for the service handler. One per
// process; it stays at one address from creation until it is destroyed, since
// that address is handed to the platform.
class ServiceHost {
public:
    explicit ServiceHost(platform::ServiceControl& control = platform::system_service_control());
    ~ServiceHost() = default;
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // Takes the handler and runs the dispatcher on the calling thread until
    // the service has stopped and the service main function has returned.
    // Gives nothing after a normal run, or the failure text (the process was
    // not started by the service control manager). A second call on the same
    // host is a fatal failure.
    [[nodiscard]] std::optional<std::wstring> run(std::unique_ptr<ServiceHandler> handler);

    // The reported state; any thread.
    [[nodiscard]] ServiceState current_state() const;

    // Sets the state and reports the whole record.
    void report_state(ServiceState state);

    // Null until the service main function has registered the control handler.
    [[nodiscard]] platform::ServiceStatusHandle status_handle() const;

    // Calls the handler with this host and the command; returns when it has
    // returned. Calls never overlap.
    void deliver(const ServiceCommand& command);

    // The service main function that the dispatcher calls on a thread of its
    // own; the first argument is the service's name, the others are ignored.
    static void RIVELO_WINAPI service_entry(unsigned long argc, wchar_t** argv) noexcept;

    // The control handler; the context is the host. Answers 0 to every request.
    static unsigned long RIVELO_WINAPI control_entry(unsigned long control,
                                                     unsigned long event_type, void* event_data,
                                                     void* context) noexcept;

private:
    // The status record as last reported, and whether a stop has begun: from
    // then on the start may report nothing more.
    struct ReportedStatus {
        platform::ServiceStatus record;
        bool stop_begun = false;
    };

    void start_service(const wchar_t* service_name);
    void handle_control(std::uint32_t control, std::uint32_t event_type, void* event_data);
    void run_transition(ServiceState pending, ServiceCommand::Kind command, ServiceState done);
    void report_unless_stopping(ServiceState state);

    platform::ServiceControl& control_;
    Guarded<std::unique_ptr<ServiceHandler>> handler_;
    Guarded<platform::ServiceStatusHandle> handle_;
    Guarded<ReportedStatus> status_;
    const std::uint32_t accepted_controls_;
};

}  // namespace rivelo::service
