#pragma once

#include <string>
#include <vector>

namespace rivelo::launcher {

// The whole run of the program for its argument list (entry 0 is the program
// itself): the banner, a silent end, or the service run. Returns the exit
// status; a fatal failure throws FatalError.
int launch(const std::vector<std::wstring>& arguments);

}  // namespace rivelo::launcher
