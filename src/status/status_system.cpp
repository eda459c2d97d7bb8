#include "status/status_system.h"

#include "platform/filesystem.h"

namespace rivelo::status {

platform::Result<platform::ServiceReport> MachineStatusSystem::query_service(
    const std::wstring& name) {
    return platform::query_service(name);
}

platform::Result<std::vector<platform::ProcessEntry>> MachineStatusSystem::list_processes() {
    return platform::list_processes();
}

platform::Result<std::wstring> MachineStatusSystem::process_image_path(std::uint32_t pid) {
    return platform::process_image_path(pid);
}

platform::Result<std::vector<platform::TcpListener>> MachineStatusSystem::list_tcp_listeners() {
    return platform::list_tcp_listeners();
}

platform::Result<std::wstring> MachineStatusSystem::system_folder() {
    return platform::system_folder();
}

}  // namespace rivelo::status
