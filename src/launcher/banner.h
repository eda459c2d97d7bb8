#pragma once

#include <string>

namespace rivelo::launcher {

// The four banner lines, each ended by a single LF.
std::string banner_text();

// Writes the banner on standard error. Without a standard error it is dropped;
// a failed write throws FatalError.
void write_banner();

}  // namespace rivelo::launcher
