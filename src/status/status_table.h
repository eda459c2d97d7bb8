#pragma once

#include <string>
#include <vector>

#include "status/server_processes.h"

namespace rivelo::status {

// The server processes as a table for a person, one process a line under a
// heading line, columns aligned with spaces, each line ended by LF; a
// sentence instead when there is none.
std::wstring format_table(const std::vector<ServerProcess>& servers);

// The line under the table that names the listening ports whose process
// the system does not name.
std::wstring unowned_ports_line(const std::vector<std::uint16_t>& ports);

}  // namespace rivelo::status
