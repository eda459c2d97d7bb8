#pragma once

#include <string_view>
#include <system_error>

namespace rivelo::platform {

enum class StandardErrorWrite { written, no_handle, failed };

struct StandardErrorResult {
    StandardErrorWrite outcome = StandardErrorWrite::written;
    std::error_code error;  // set when outcome is failed
};

// Writes the bytes exactly as given (no CR is added before LF).
StandardErrorResult write_standard_error(std::string_view bytes);

// Writes the text on standard output or standard error as given (no CR is
// added before LF). A console gets it as UTF-16; a file or pipe gets UTF-8.
// Nothing happens when the process has no such handle.
void write_output_text(std::wstring_view text);
void write_error_text(std::wstring_view text);

// Writes one report line on standard error: "rivelo_svc: {message}" and LF.
// A console gets the text as UTF-16; a file or pipe gets UTF-8.
// Nothing happens when the process has no standard error.
void write_report(std::wstring_view message);

}  // namespace rivelo::platform
