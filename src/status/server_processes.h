#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process_list.h"
#include "status/status_system.h"

namespace rivelo::status {

// A server program of the stack: its image name and where it lies in a root.
struct ServerProgram {
    std::wstring_view image_name;
    std::wstring_view in_root;
};

inline constexpr ServerProgram kWebServer{L"httpd.exe", L"apache\\bin\\httpd.exe"};
inline constexpr ServerProgram kPhpCgi{L"php-cgi.exe", L"php\\php-cgi.exe"};
inline constexpr ServerProgram kDatabase{L"mysqld.exe", L"mysql\\bin\\mysqld.exe"};
inline constexpr ServerProgram kServerPrograms[] = {kWebServer, kPhpCgi, kDatabase};

// Where a server process runs from, as far as the caller may read it.
enum class Origin { this_root, other_folder, unreadable };

struct ServerProcess {
    std::uint32_t pid = 0;
    std::wstring image_name;  // as the process list spells it
    std::uint32_t parent_pid = 0;
    std::wstring parent_name;  // empty when the parent no longer runs
    Origin origin = Origin::unreadable;
    // The program's path (other_folder), or why it could not be read
    // (unreadable); empty for this_root.
    std::wstring detail;
    std::vector<std::uint16_t> ports;  // listening TCP ports, ascending, each once
};

struct ServerScan {
    std::vector<ServerProcess> servers;
    // Listening ports for which the system names no process (process id 0),
    // ascending, each once: whether a server listens on one cannot be told.
    std::vector<std::uint16_t> unowned_ports;
};

// Every process of the machine that runs a program of one of the server
// programs' image names, in the order the process list gives them, each told
// apart by whether it runs the program at that place in `root`. A process
// that ends while it is looked at is left out. Throws FatalError when the
// process list or the listening sockets cannot be read.
ServerScan find_server_processes(const std::wstring& root, StatusSystem& system);

// True for a process of this program that runs from the root.
bool runs_from_root(const ServerProcess& process, const ServerProgram& program);

bool is_program(const ServerProcess& process, const ServerProgram& program);

}  // namespace rivelo::status
