#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rivelo::launcher {

// Splits a command line into its arguments by the rules of the Microsoft C
// runtime, the rules by which the program's own wmain gets its arguments:
// - entry 0, the program, ends at the first space or tab outside quotes;
//   quotes in it only group, backslashes are kept as they are;
// - in the other arguments, 2n backslashes before a quote give n backslashes
//   and the quote groups; 2n+1 give n backslashes and a literal quote;
//   backslashes before anything else are kept; "" inside quotes gives one
//   literal quote and the quoted part goes on.
std::vector<std::wstring> split_command_line(std::wstring_view command_line);

}  // namespace rivelo::launcher
