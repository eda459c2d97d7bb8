#include "service/service_host.h"

#include <array>
#include <cstddef>

#include "platform/failure.h"

namespace rivelo::service {

namespace {

using platform::FatalError;
using platform::ServiceStatus;
using platform::ServiceStatusHandle;
using Kind = ServiceCommand::Kind;

// Win32 state codes indexed by the ServiceState number; read both ways.
constexpr std::array<std::uint32_t, 7> kStateCodes = {
    platform::kServiceContinuePending,  // ContinuePending 0
    platform::kServicePaused,           // Paused 1
    platform::kServicePausePending,     // PausePending 2
    platform::kServiceRunning,          // Running 3
    platform::kServiceStartPending,     // StartPending 4
    platform::kServiceStopped,          // Stopped 5
    platform::kServiceStopPending,      // StopPending 6
};

// Preshutdown too: at system shutdown Windows waits for a service that
// accepts it (up to its preshutdown time-out) instead of ending it after a
// few seconds, so the database gets the time its orderly shutdown needs.
constexpr std::uint32_t kAcceptedControls =
    platform::kServiceAcceptStop | platform::kServiceAcceptPauseContinue |
    platform::kServiceAcceptShutdown | platform::kServiceAcceptPreshutdown;

// The least preshutdown time-out: 3 minutes, for the database's orderly
// shutdown. Windows 10 1703 and later give 10 s by default, and the manager
// reads the value that the install script writes into the registry
// (PRESHUTDOWN_TIMEOUT_MS in install-service.cmd, the same 180000) only when
// Windows starts, so the service raises a lower one itself each time it
// starts. A longer one, set by an administrator, is kept.
constexpr std::uint32_t kLeastPreshutdownTimeoutMs = 180000;

// The host whose service main function the dispatcher runs (the platform
// gives that function no context), and how many service main functions are
// still at work, so that `run` can wait for them. It lives for the whole
// process: the last thing a service main function touches is this slot, never
// a host that `run` may already have handed back.
struct CurrentHost {
    ServiceHost* host = nullptr;
    std::uint32_t entries_running = 0;
};

Guarded<CurrentHost>& current_host() {
    // Never destroyed: leaving the slot wakes `run` and only then returns, so
    // the main thread may already be past `wmain` and running the static
    // destructors while the service thread is still inside that write.
    static auto* const slot = new Guarded<CurrentHost>(CurrentHost{});
    return *slot;
}

ServiceHost& enter_current_host() {
    ServiceHost* host = current_host().write([](CurrentHost& slot) {
        ++slot.entries_running;
        return slot.host;
    });
    if (host == nullptr) throw FatalError(L"the service started before a host was published");
    return *host;
}

void leave_current_host() {
    current_host().write([](CurrentHost& slot) { --slot.entries_running; });
}

ServiceStatus initial_status() {
    ServiceStatus status;
    status.service_type = platform::kServiceWin32OwnProcess;
    status.current_state = win32_state_code(ServiceState::Stopped);
    return status;
}

}  // namespace

std::uint32_t win32_state_code(ServiceState state) noexcept {
    return kStateCodes[static_cast<std::size_t>(state)];
}

ServiceState service_state_from_code(std::uint32_t code) {
    for (std::size_t number = 0; number < kStateCodes.size(); ++number) {
        if (kStateCodes[number] == code) return static_cast<ServiceState>(number);
    }
    throw FatalError(std::wstring(kUnexpectedState));
}

ServiceHost::ServiceHost(platform::ServiceControl& control)
    : control_(control),
      handler_(nullptr),
      handle_(nullptr),
      status_(ReportedStatus{.record = initial_status()}),
      accepted_controls_(kAcceptedControls) {}

std::optional<std::wstring> ServiceHost::run(std::unique_ptr<ServiceHandler> handler) {
    status_.write(
        [this](ReportedStatus& status) { status.record.controls_accepted = accepted_controls_; });

    const bool stored = handler_.write([&handler](std::unique_ptr<ServiceHandler>& slot) {
        if (slot) return false;
        slot = std::move(handler);
        return true;
    });
    // Thrown outside the lock: nothing was changed, so the lock stays usable.
    if (!stored) throw FatalError(std::wstring(kRunAlreadyCalled));

    current_host().write([this](CurrentHost& slot) { slot.host = this; });

    if (!control_.start_dispatcher(&ServiceHost::service_entry)) {
        return std::wstring(kNotStartedByServiceManager);
    }
    // The dispatcher returns once Stopped is reported, which can be before
    // the service main function has made its last use of this host.
    current_host().wait_until([](const CurrentHost& slot) { return slot.entries_running == 0; });
    return std::nullopt;
}

ServiceState ServiceHost::current_state() const {
    return status_.read([](const ReportedStatus& status) {
        return service_state_from_code(status.record.current_state);
    });
}

void ServiceHost::report_state(ServiceState state) {
    const ServiceStatus record = status_.write([state](ReportedStatus& status) {
        status.record.current_state = win32_state_code(state);
        if (state == ServiceState::StopPending) status.stop_begun = true;
        return status.record;
    });
    // A report that the platform refuses is lost; the record keeps the state.
    static_cast<void>(control_.set_status(status_handle(), record));
}

ServiceStatusHandle ServiceHost::status_handle() const {
    return handle_.read([](ServiceStatusHandle handle) { return handle; });
}

void ServiceHost::deliver(const ServiceCommand& command) {
    handler_.write([&](std::unique_ptr<ServiceHandler>& handler) {
        if (!handler) throw FatalError(L"a service command arrived before the handler was stored");
        handler->handle(*this, command);
    });
}

void RIVELO_WINAPI ServiceHost::service_entry(unsigned long argc, wchar_t** argv) noexcept {
    platform::guard_entry_point([argc, argv] {
        const wchar_t* service_name = argc > 0 ? argv[0] : nullptr;
        enter_current_host().start_service(service_name);
        leave_current_host();
    });
}

unsigned long RIVELO_WINAPI ServiceHost::control_entry(unsigned long control,
                                                       unsigned long event_type, void* event_data,
                                                       void* context) noexcept {
    platform::guard_entry_point([&] {
        static_cast<ServiceHost*>(context)->handle_control(static_cast<std::uint32_t>(control),
                                                           static_cast<std::uint32_t>(event_type),
                                                           event_data);
    });
    return platform::kNoError;
}

void ServiceHost::start_service(const wchar_t* service_name) {
    // Controls may arrive from here on, before the handle is stored.
    const ServiceStatusHandle handle = control_.register_handler(&ServiceHost::control_entry, this);
    handle_.write([handle](ServiceStatusHandle& stored) { stored = handle; });
    report_unless_stopping(ServiceState::StartPending);
    deliver(ServiceCommand{.kind = Kind::Start});
    report_unless_stopping(ServiceState::Running);
    // Once the manager has the start behind it. A refused read or change (an
    // account without the right): discarded, and nothing is written without
    // a value read, so that a longer time-out is never shortened; the
    // registry value still applies from the next Windows start.
    if (service_name != nullptr) {
        const auto timeout = control_.preshutdown_timeout(service_name);
        if (timeout.ok() && timeout.value() < kLeastPreshutdownTimeoutMs) {
            static_cast<void>(
                control_.set_preshutdown_timeout(service_name, kLeastPreshutdownTimeoutMs));
        }
    }
}

void ServiceHost::handle_control(std::uint32_t control, std::uint32_t event_type,
                                 void* event_data) {
    switch (control) {
        case platform::kServiceControlStop:
        case platform::kServiceControlShutdown:
        case platform::kServiceControlPreshutdown:
            run_transition(ServiceState::StopPending, Kind::Stop, ServiceState::Stopped);
            return;
        case platform::kServiceControlPause:
            if (current_state() == ServiceState::Running) {
                run_transition(ServiceState::PausePending, Kind::Pause, ServiceState::Paused);
                return;
            }
            break;
        case platform::kServiceControlContinue:
            if (current_state() == ServiceState::Paused) {
                run_transition(ServiceState::ContinuePending, Kind::Resume, ServiceState::Running);
                return;
            }
            break;
        default:
            break;
    }
    deliver(ServiceCommand{.kind = Kind::Extended,
                           .control = control,
                           .event_type = event_type,
                           .event_data = event_data});
}

void ServiceHost::run_transition(ServiceState pending, Kind command, ServiceState done) {
    report_state(pending);
    deliver(ServiceCommand{.kind = command});
    report_state(done);
}

void ServiceHost::report_unless_stopping(ServiceState state) {
    // Tested and reported under the status lock: a stop may come at any time
    // during the start, even before its first report, and a start-side state
    // sent after StopPending (or Stopped) would tell the manager the service
    // runs again. Lock order stays status, then handle.
    status_.write([this, state](ReportedStatus& status) {
        if (status.stop_begun) return;
        status.record.current_state = win32_state_code(state);
        // Refused: lost, as in report_state.
        static_cast<void>(control_.set_status(status_handle(), status.record));
    });
}

}  // namespace rivelo::service
