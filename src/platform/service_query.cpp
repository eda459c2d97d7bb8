#include "platform/service_query.h"

#include <windows.h>

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

namespace rivelo::platform {

namespace {

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};
using UniqueServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

Result<std::wstring> registered_command_line(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return last_error();
    // QUERY_SERVICE_CONFIGW holds pointers: the buffer must be aligned for them.
    std::vector<std::max_align_t> buffer((needed + sizeof(std::max_align_t) - 1) /
                                         sizeof(std::max_align_t));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size() * sizeof buffer[0]),
                             &needed)) {
        return last_error();
    }
    return std::wstring(config->lpBinaryPathName ? config->lpBinaryPathName : L"");
}

}  // namespace

Result<ServiceReport> query_service(const std::wstring& name) {
    const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return last_error();
    const UniqueServiceHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) return last_error();

    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        return last_error();
    }
    auto command_line = registered_command_line(service.get());
    if (!command_line.ok()) return command_line.error();
    return ServiceReport{status.dwCurrentState, status.dwProcessId,
                         std::move(command_line.value())};
}

}  // namespace rivelo::platform
