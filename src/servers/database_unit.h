#pragma once

#include <string>

#include "servers/child_processes.h"
#include "servers/unit_context.h"

namespace rivelo::servers {

// The database task: runs mysql\bin\mysqld.exe under the root directory with
// its fixed options until the run state holds StopPending, then asks it to
// shut down with stop_database until the server process has exited. The
// server is never ended by force.
void run_database(UnitContext context, ChildProcesses& children = system_child_processes());

// Runs mysql\bin\mysqladmin.exe under the root directory with the shutdown
// command as the database user root and waits for it; its exit code is not
// looked at. A helper that cannot be started, even when tried again, or that
// cannot be waited for is a FatalError.
void stop_database(const std::wstring& root_dir, ChildProcesses& children);

}  // namespace rivelo::servers
