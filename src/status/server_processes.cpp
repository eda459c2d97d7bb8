#include "status/server_processes.h"

#include <algorithm>

#include "launcher/path_join.h"
#include "platform/failure.h"
#include "platform/text.h"

namespace rivelo::status {

namespace {

// OpenProcess on a process id that no longer names a process.
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorAccessDenied = 5;
// The owner that the system gives a socket whose process it does not name.
constexpr std::uint32_t kNoProcess = 0;
constexpr wchar_t kNeedsAdministrator[] = L"needs administrator rights";

const ServerProgram* server_program_of(const std::wstring& image_name) {
    for (const ServerProgram& program : kServerPrograms) {
        if (platform::equal_ignoring_case(image_name, program.image_name)) return &program;
    }
    return nullptr;
}

std::vector<platform::TcpListener> read_listeners(StatusSystem& system) {
    auto listeners = system.list_tcp_listeners();
    if (!listeners.ok()) {
        throw platform::FatalError(L"cannot read the listening TCP ports: " +
                                   platform::describe(listeners.error()));
    }
    return std::move(listeners.value());
}

// The ports the process listens on, ascending, each once.
std::vector<std::uint16_t> ports_of(std::uint32_t pid,
                                    const std::vector<platform::TcpListener>& listeners) {
    std::vector<std::uint16_t> ports;
    for (const platform::TcpListener& listener : listeners) {
        if (listener.pid == pid) ports.push_back(listener.port);
    }
    std::ranges::sort(ports);
    ports.erase(std::ranges::unique(ports).begin(), ports.end());
    return ports;
}

// The parent's image name; empty when no process of that id runs.
std::wstring name_of(std::uint32_t pid, const std::vector<platform::ProcessEntry>& processes) {
    const auto found = std::ranges::find(processes, pid, &platform::ProcessEntry::pid);
    return found == processes.end() ? std::wstring() : found->image_name;
}

}  // namespace

bool is_program(const ServerProcess& process, const ServerProgram& program) {
    return platform::equal_ignoring_case(process.image_name, program.image_name);
}

bool runs_from_root(const ServerProcess& process, const ServerProgram& program) {
    return process.origin == Origin::this_root && is_program(process, program);
}

ServerScan find_server_processes(const std::wstring& root, StatusSystem& system) {
    auto processes = system.list_processes();
    if (!processes.ok()) {
        throw platform::FatalError(L"cannot list the processes: " +
                                   platform::describe(processes.error()));
    }
    const std::vector<platform::TcpListener> listeners = read_listeners(system);

    ServerScan scan;
    scan.unowned_ports = ports_of(kNoProcess, listeners);
    for (const platform::ProcessEntry& entry : processes.value()) {
        const ServerProgram* program = server_program_of(entry.image_name);
        if (program == nullptr) continue;
        ServerProcess server;
        server.pid = entry.pid;
        server.image_name = entry.image_name;
        server.parent_pid = entry.parent_pid;
        server.parent_name = name_of(entry.parent_pid, processes.value());
        const auto path = system.process_image_path(entry.pid);
        if (path.ok()) {
            std::wstring expected = launcher::path_join(root, program->in_root);
            std::ranges::replace(expected, L'/', L'\\');  // "-w C:/stack" is a root too
            const bool ours =
                !root.empty() && platform::equal_ignoring_case(path.value(), expected);
            server.origin = ours ? Origin::this_root : Origin::other_folder;
            if (!ours) server.detail = path.value();
        } else if (path.error() == platform::win32_error(kErrorInvalidParameter)) {
            continue;  // ended since the list was taken
        } else {
            server.origin = Origin::unreadable;
            server.detail = path.error() == platform::win32_error(kErrorAccessDenied)
                                ? std::wstring(kNeedsAdministrator)
                                : platform::describe(path.error());
        }
        server.ports = ports_of(entry.pid, listeners);
        scan.servers.push_back(std::move(server));
    }
    return scan;
}

}  // namespace rivelo::status
