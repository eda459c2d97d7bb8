#include "servers/web_server_unit.h"

#include <optional>
#include <utility>

#include "launcher/path_join.h"
#include "platform/failure.h"
#include "platform/filesystem.h"
#include "platform/system_error.h"
#include "servers/child_start_retry.h"
#include "servers/pid_file.h"
#include "servers/process_supervisor.h"

namespace rivelo::servers {

namespace {

constexpr wchar_t kServerProgram[] = L"apache\\bin\\httpd.exe";
constexpr wchar_t kPidFile[] = L"apache\\logs\\httpd.pid";
// Taken from the system folder only, never from PATH or the current folder.
constexpr wchar_t kCommandInterpreter[] = L"cmd.exe";
constexpr wchar_t kEndServers[] = L"/C taskkill /IM httpd.exe /F";
constexpr wchar_t kEndPhpProcesses[] = L"/C taskkill /IM php-cgi.exe /F";

// Starts the command interpreter with the argument; a helper that cannot be
// started is given up (empty result).
std::optional<platform::ChildProcess> start_helper(ChildProcesses& children,
                                                   const std::wstring& interpreter,
                                                   const wchar_t* argument) {
    auto helper = start_child_with_retry(children, interpreter, std::wstring(argument));
    if (!helper.ok()) return std::nullopt;
    return std::move(helper.value());
}

// Waits for the helper to finish; its exit code is of no interest.
void wait_for_helper(ChildProcesses& children, const platform::ChildProcess& helper,
                     const std::wstring& interpreter, const wchar_t* argument) {
    const auto waited = children.wait_exit(helper);
    if (!waited.ok()) {
        throw platform::FatalError(L"cannot wait for '" + interpreter + L" " + argument + L"': " +
                                   platform::describe(waited.error()));
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
    const auto system_folder = platform::system_folder();
    if (!system_folder.ok()) {
        context.run_state.reset();
        throw platform::FatalError(L"cannot find the system folder: " +
                                   platform::describe(system_folder.error()));
    }
    supervise(
        program, std::nullopt, [&] { stop_web_server(pid_file, system_folder.value(), children); },
        std::move(context.run_state), children);
}

void stop_web_server(const std::wstring& pid_file, const std::wstring& system_folder,
                     ChildProcesses& children) {
    const std::wstring interpreter = launcher::path_join(system_folder, kCommandInterpreter);
    // The pid file goes only once the server processes have been ended, and
    // only when the helper that ends them could be started.
    if (auto end_servers = start_helper(children, interpreter, kEndServers)) {
        wait_for_helper(children, *end_servers, interpreter, kEndServers);
        remove_pid_file(pid_file);
        platform::close_child(std::move(*end_servers));
    }
    auto end_php = start_helper(children, interpreter, kEndPhpProcesses);
    if (!end_php) return;
    wait_for_helper(children, *end_php, interpreter, kEndPhpProcesses);
    platform::close_child(std::move(*end_php));
}

}  // namespace rivelo::servers
