#include "support/service_manager.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "platform/text.h"
#include "support/watchdog.h"

namespace rivelo::test {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(20);

SC_HANDLE as_sc(void* handle) { return static_cast<SC_HANDLE>(handle); }

std::runtime_error scm_failure(const char* what) {
    return std::runtime_error(std::string(what) + " failed, error " +
                              std::to_string(GetLastError()));
}

}  // namespace

const char* state_name(std::uint32_t state) {
    switch (state) {
        case 1:
            return "STOPPED";
        case 2:
            return "START_PENDING";
        case 3:
            return "STOP_PENDING";
        case 4:
            return "RUNNING";
        case 5:
            return "CONTINUE_PENDING";
        case 6:
            return "PAUSE_PENDING";
        case 7:
            return "PAUSED";
        default:
            return "UNKNOWN";
    }
}

void ManagedService::CloseServiceHandle::operator()(void* handle) const noexcept {
    ::CloseServiceHandle(as_sc(handle));
}

ManagedService::ManagedService(std::wstring name, ServiceHandle manager, ServiceHandle service,
                               bool owned)
    : name_(std::move(name)),
      manager_(std::move(manager)),
      service_(std::move(service)),
      delete_on_destruction_(owned) {}

ManagedService::ManagedService(const std::wstring& name, const std::wstring& command_line)
    : name_(name) {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager_) throw scm_failure("OpenSCManagerW");
    service_.reset(CreateServiceW(as_sc(manager_.get()), name.c_str(), name.c_str(),
                                  SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command_line.c_str(),
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service_) throw scm_failure("CreateServiceW");
    delete_on_destruction_ = true;
}

std::optional<ManagedService> ManagedService::open(const std::wstring& name) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return std::nullopt;
    ServiceHandle service(OpenServiceW(as_sc(manager.get()), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) return std::nullopt;
    return ManagedService(name, std::move(manager), std::move(service), false);
}

ManagedService::~ManagedService() {
    if (delete_on_destruction_ && service_) remove();
}

bool ManagedService::start() {
    return call_with_watchdog(
        "StartServiceW on " + platform::to_utf8(name_), kServiceCallBound,
        [this] { return StartServiceW(as_sc(service_.get()), 0, nullptr) != 0; },
        [this] { return describe(nullptr); });
}

bool ManagedService::control(std::uint32_t code) {
    // Opened first, so that a hang can tell whether the process had ended.
    const platform::UniqueHandle process = open_process(query().process_id);
    return call_with_watchdog(
        "ControlService(" + std::to_string(code) + ") on " + platform::to_utf8(name_),
        kServiceCallBound,
        [this, code] {
            SERVICE_STATUS ignored{};  // written with garbage by Wine on failure
            return ControlService(as_sc(service_.get()), code, &ignored) != 0;
        },
        [this, &process] { return describe(process.valid() ? process.get() : nullptr); });
}

std::string ManagedService::describe(void* process) const {
    const ServiceStatusSnapshot status = query();
    std::string text = std::string("the manager reports ") + state_name(status.state) +
                       " with process id " + std::to_string(status.process_id);
    if (process == nullptr) return text;
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(process, &exit_code)) return text + "; the service process is unknown";
    if (exit_code == STILL_ACTIVE) return text + "; the service process still runs";
    return text + "; the service process has ended with status " + std::to_string(exit_code);
}

bool ManagedService::stop() {
    if (control(SERVICE_CONTROL_STOP)) return true;
    const DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_SERVICE_REQUEST_TIMEOUT;
}

ServiceStatusSnapshot ManagedService::query() const {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(as_sc(service_.get()), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        throw scm_failure("QueryServiceStatusEx");
    }
    return {status.dwCurrentState, status.dwProcessId, status.dwWin32ExitCode};
}

bool ManagedService::wait_for(ScmState state, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (query().state == static_cast<std::uint32_t>(state)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

void ManagedService::remove() {
    DeleteService(as_sc(service_.get()));
    delete_on_destruction_ = false;
}

platform::UniqueHandle open_process(std::uint32_t pid) {
    return platform::UniqueHandle(OpenProcess(
        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
}

std::optional<std::uint32_t> wait_for_process(void* process, std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

}  // namespace rivelo::test
