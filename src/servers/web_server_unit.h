#pragma once

#include <string>

#include "servers/child_processes.h"
#include "servers/unit_context.h"

namespace rivelo::servers {

// The web server task: runs apache\bin\httpd.exe under the root directory
// until the run state holds StopPending, then ends it with stop_web_server
// until the server process has exited. The stop's helpers come from the
// system folder; a system folder that cannot be read is a FatalError, before
// the server is started.
void run_web_server(UnitContext context, ChildProcesses& children = system_child_processes());

// Ends every httpd.exe process by image name, removes the pid file, then ends
// every php-cgi.exe process, each through the cmd.exe of the system folder
// given. A helper that cannot be started, even when tried
// again, is skipped (the pid file with the first one); a failed wait for a
// helper or a pid file that cannot be deleted (see delete_pid_file) is a
// FatalError.
void stop_web_server(const std::wstring& pid_file, const std::wstring& system_folder,
                     ChildProcesses& children);

}  // namespace rivelo::servers
