#include "platform/service_control.h"

#include <windows.h>

#include <memory>
#include <type_traits>

#include "platform/system_error.h"

namespace rivelo::platform {

// The host's entry points go to the platform as they are.
static_assert(std::is_same_v<unsigned long, DWORD>);
static_assert(std::is_same_v<ServiceMain, LPSERVICE_MAIN_FUNCTIONW>);
static_assert(std::is_same_v<ControlHandler, LPHANDLER_FUNCTION_EX>);

static_assert(kServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(kServiceAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(kServiceAcceptPauseContinue == SERVICE_ACCEPT_PAUSE_CONTINUE);
static_assert(kServiceAcceptShutdown == SERVICE_ACCEPT_SHUTDOWN);
static_assert(kServiceAcceptPreshutdown == SERVICE_ACCEPT_PRESHUTDOWN);
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP);
static_assert(kServiceControlPause == SERVICE_CONTROL_PAUSE);
static_assert(kServiceControlContinue == SERVICE_CONTROL_CONTINUE);
static_assert(kServiceControlShutdown == SERVICE_CONTROL_SHUTDOWN);
static_assert(kServiceControlPreshutdown == SERVICE_CONTROL_PRESHUTDOWN);
static_assert(kServiceStopped == SERVICE_STOPPED);
static_assert(kServiceStartPending == SERVICE_START_PENDING);
static_assert(kServiceStopPending == SERVICE_STOP_PENDING);
static_assert(kServiceRunning == SERVICE_RUNNING);
static_assert(kServiceContinuePending == SERVICE_CONTINUE_PENDING);
static_assert(kServicePausePending == SERVICE_PAUSE_PENDING);
static_assert(kServicePaused == SERVICE_PAUSED);
static_assert(kNoError == NO_ERROR);

namespace {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};
using UniqueServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

class SystemServiceControl final : public ServiceControl {
public:
    bool start_dispatcher(ServiceMain service_main) override {
        // An own-process service may leave its name empty; the table lives in
        // this frame for as long as the dispatcher runs.
        wchar_t empty_name[] = L"";
        SERVICE_TABLE_ENTRYW table[] = {{empty_name, service_main}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) != 0;
    }

    ServiceStatusHandle register_handler(ControlHandler handler, void* context) override {
        return RegisterServiceCtrlHandlerExW(nullptr, handler, context);
    }

    std::error_code set_status(ServiceStatusHandle handle, const ServiceStatus& status) override {
        SERVICE_STATUS record{};
        record.dwServiceType = status.service_type;
        record.dwCurrentState = status.current_state;
        record.dwControlsAccepted = status.controls_accepted;
        record.dwWin32ExitCode = status.win32_exit_code;
        record.dwServiceSpecificExitCode = status.service_specific_exit_code;
        record.dwCheckPoint = status.check_point;
        record.dwWaitHint = status.wait_hint;
        if (!SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &record)) {
            return last_error();
        }
        return {};
    }

    Result<std::uint32_t> preshutdown_timeout(const wchar_t* service_name) override {
        const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) return last_error();
        const UniqueServiceHandle service(
            OpenServiceW(manager.get(), service_name, SERVICE_QUERY_CONFIG));
        if (!service) return last_error();
        SERVICE_PRESHUTDOWN_INFO info{};
        DWORD needed = 0;
        if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO,
                                  reinterpret_cast<BYTE*>(&info), sizeof info, &needed)) {
            return last_error();
        }
        return std::uint32_t{info.dwPreshutdownTimeout};
    }

    std::error_code set_preshutdown_timeout(const wchar_t* service_name,
                                            std::uint32_t timeout_ms) override {
        const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) return last_error();
        const UniqueServiceHandle service(
            OpenServiceW(manager.get(), service_name, SERVICE_CHANGE_CONFIG));
        if (!service) return last_error();
        SERVICE_PRESHUTDOWN_INFO info{.dwPreshutdownTimeout = timeout_ms};
        if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, &info)) {
            return last_error();
        }
        return {};
    }
};

}  // namespace

ServiceControl& system_service_control() {
    static SystemServiceControl control;
    return control;
}

}  // namespace rivelo::platform
