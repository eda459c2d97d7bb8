#pragma once

#include <string>
#include <string_view>

namespace rivelo::status {

// The root folder that a service's registered command line gives the
// service, or why it gives none.
struct ServiceRoot {
    std::wstring folder;   // empty when the command line gives no root
    std::wstring problem;  // why not, when `folder` is empty
};

// Reads the command line as the service's own launcher does when the service
// manager starts it: split by the C runtime's rules, the verb "start", then
// the options; the root is the "-w" value (a relative one taken from the
// system folder, where a service's process starts) or the folder of the
// program.
ServiceRoot root_of_command_line(std::wstring_view command_line, const std::wstring& system_folder);

}  // namespace rivelo::status
