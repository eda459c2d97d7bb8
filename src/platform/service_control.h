#pragma once

#include <cstdint>
#include <system_error>

#include "platform/system_error.h"
#include "platform/win_api.h"

namespace rivelo::platform {

// The service status record, field for field as SERVICE_STATUS lays it out.
struct ServiceStatus {
    std::uint32_t service_type = 0;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint = 0;
};

// A SERVICE_STATUS_HANDLE; null when registration failed.
using ServiceStatusHandle = void*;

// LPSERVICE_MAIN_FUNCTIONW and LPHANDLER_FUNCTION_EX (DWORD is unsigned long).
using ServiceMain = void(RIVELO_WINAPI*)(unsigned long argc, wchar_t** argv);
using ControlHandler = unsigned long(RIVELO_WINAPI*)(unsigned long control,
                                                     unsigned long event_type, void* event_data,
                                                     void* context);

// SERVICE_WIN32_OWN_PROCESS
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;

// SERVICE_ACCEPT_STOP, _PAUSE_CONTINUE, _SHUTDOWN, _PRESHUTDOWN
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceAcceptPauseContinue = 2;
inline constexpr std::uint32_t kServiceAcceptShutdown = 4;
inline constexpr std::uint32_t kServiceAcceptPreshutdown = 0x100;

// SERVICE_CONTROL_STOP, _PAUSE, _CONTINUE, _SHUTDOWN, _PRESHUTDOWN
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlPause = 2;
inline constexpr std::uint32_t kServiceControlContinue = 3;
inline constexpr std::uint32_t kServiceControlShutdown = 5;
inline constexpr std::uint32_t kServiceControlPreshutdown = 0x0F;

// The SERVICE_* state codes.
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceContinuePending = 5;
inline constexpr std::uint32_t kServicePausePending = 6;
inline constexpr std::uint32_t kServicePaused = 7;

// NO_ERROR, the answer of a control handler that handled the request.
inline constexpr unsigned long kNoError = 0;

// The calls to the service control manager that the service host makes,
// behind an interface so that tests can play the dispatcher.
class ServiceControl {
public:
    virtual ~ServiceControl() = default;

    // StartServiceCtrlDispatcherW with one unnamed own-process service. Blocks
    // until the service has reported stopped; false at once when the process
    // was not started by the service control manager.
    virtual bool start_dispatcher(ServiceMain service_main) = 0;

    // RegisterServiceCtrlHandlerExW with no service name; the handle as returned.
    virtual ServiceStatusHandle register_handler(ControlHandler handler, void* context) = 0;

    // SetServiceStatus with a copy of the record.
    virtual std::error_code set_status(ServiceStatusHandle handle, const ServiceStatus& status) = 0;

    // QueryServiceConfig2W with SERVICE_CONFIG_PRESHUTDOWN_INFO on the named
    // service: the preshutdown time-out the manager holds, in milliseconds.
    virtual Result<std::uint32_t> preshutdown_timeout(const wchar_t* service_name) = 0;

    // ChangeServiceConfig2W with SERVICE_CONFIG_PRESHUTDOWN_INFO on the named
    // service: the manager's own copy of its configuration, and the registry.
    virtual std::error_code set_preshutdown_timeout(const wchar_t* service_name,
                                                    std::uint32_t timeout_ms) = 0;
};

// The real service control manager.
ServiceControl& system_service_control();

}  // namespace rivelo::platform
