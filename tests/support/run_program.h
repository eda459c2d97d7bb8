#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rivelo::test {

struct ProgramRun {
    std::uint32_t exit_code = 0;
    std::string out;  // bytes written on standard output
    std::string err;  // bytes written on standard error
};

struct ProgramOptions {
    // The raw command line; the program is named by `application`.
    std::wstring command_line;
    // "NAME=value" entries; the caller's environment when absent.
    std::optional<std::vector<std::wstring>> environment;
    std::optional<std::wstring> working_directory;
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
};

// Starts the program with pipes for standard output and error (and no
// standard input), waits for it and returns what it wrote. A program that
// outlives the timeout is ended and the test fails.
ProgramRun run_program(const std::wstring& application, const ProgramOptions& options);

// The quoted program followed by the arguments, each quoted by the C runtime's
// rules where needed.
std::wstring command_line_for(const std::wstring& program,
                              const std::vector<std::wstring>& arguments);

// The folder of the running test program, where every built program lies.
std::wstring bin_dir();

// bin_dir() joined with the file name.
std::wstring built_program(const std::wstring& file_name);

}  // namespace rivelo::test
