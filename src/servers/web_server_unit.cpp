#include "servers/web_server_unit.h"

#include <optional>
#include <utility>

#include "launcher/path_join.h"
#include "platform/failure.h"
#include "platform/system_error.h"
#include "servers/child_start_retry.h"
#include "servers/pid_file.h"
#include "servers/process_supervisor.h"

namespace rivelo::servers {

namespace {

constexpr wchar_t kServerProgram[] = L"apache\\bin\\httpd.exe";
constexpr wchar_t kPidFile[] = L"apache\\logs\\httpd.pid";
// Fixed, not derived from the Windows folder or PATH.
constexpr wchar_t kCommandInterpreter[] = L"C:\\Windows\\System32\\cmd.exe";
constexpr wchar_t kEndServers[] = L"/C taskkill /IM httpd.exe /F";
constexpr wchar_t kEndPhpProcesses[] = L"/C taskkill /IM php-cgi.exe /F";

// Starts the command interpreter with the argument; a helper that cannot be
// started is given up (empty result).
std::optional<platform::ChildProcess> start_helper(ChildProcesses& children,
                                                   const wchar_t* argument) {
    auto helper = start_child_with_retry(children, kCommandInterpreter, std::wstring(argument));
    if (!helper.ok()) return std::nullopt;
    return std::move(helper.value());
}

// Waits for the helper to finish; its exit code is of no interest.
void wait_for_helper(ChildProcesses& children, const platform::ChildProcess& helper,
                     const wchar_t* argument) {
    const auto waited = children.wait_exit(helper);
    if (!waited.ok()) {
        throw platform::FatalError(L"cannot wait for '" + std::wstring(kCommandInterpreter) + L" " +
                                   argument + L"': " + platform::describe(waited.error()));
    }
}

void remove_pid_file(const std::wstring& pid_file) {
    const std::error_code error = delete_pid_file(pid_file);
    if (error) {
        throw platform::FatalError(L"cannot delete the pid file '" + pid_file + L"': " +
                                   platform::describe(error));
    }
}

}  // namespace

void run_web_server(UnitContext context, ChildProcesses& children) {
    const std::wstring pid_file = launcher::path_join(context.root_dir, kPidFile);
    const std::wstring program = launcher::path_join(context.root_dir, kServerProgram);
    supervise(
        program, std::nullopt, [&] { stop_web_server(pid_file, children); },
        std::move(context.run_state), children);
}

void stop_web_server(const std::wstring& pid_file, ChildProcesses& children) {
    // The pid file goes only once the server processes have been ended, and
    // only when the helper that ends them could be started.
    if (auto end_servers = start_helper(children, kEndServers)) {
        wait_for_helper(children, *end_servers, kEndServers);
        remove_pid_file(pid_file);
        platform::close_child(std::move(*end_servers));
    }
    auto end_php = start_helper(children, kEndPhpProcesses);
    if (!end_php) return;
    wait_for_helper(children, *end_php, kEndPhpProcesses);
    platform::close_child(std::move(*end_php));
}

}  // namespace rivelo::servers
