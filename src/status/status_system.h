#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process_list.h"
#include "platform/service_query.h"
#include "platform/system_error.h"
#include "platform/tcp_listeners.h"

namespace rivelo::status {

// What the status check reads from the machine, behind an interface so that
// tests can play any situation.
class StatusSystem {
public:
    virtual ~StatusSystem() = default;
    virtual platform::Result<platform::ServiceReport> query_service(const std::wstring& name) = 0;
    virtual platform::Result<std::vector<platform::ProcessEntry>> list_processes() = 0;
    virtual platform::Result<std::wstring> process_image_path(std::uint32_t pid) = 0;
    virtual platform::Result<std::vector<platform::TcpListener>> list_tcp_listeners() = 0;
    virtual platform::Result<std::wstring> system_folder() = 0;
};

// The machine itself.
class MachineStatusSystem final : public StatusSystem {
public:
    platform::Result<platform::ServiceReport> query_service(const std::wstring& name) override;
    platform::Result<std::vector<platform::ProcessEntry>> list_processes() override;
    platform::Result<std::wstring> process_image_path(std::uint32_t pid) override;
    platform::Result<std::vector<platform::TcpListener>> list_tcp_listeners() override;
    platform::Result<std::wstring> system_folder() override;
};

}  // namespace rivelo::status
