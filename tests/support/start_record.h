#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rivelo::test {

// What a fixture program saw when it started (see fixtures/start_record).
struct StartRecord {
    std::uint32_t pid = 0;
    std::uint32_t parent_pid = 0;  // 0 when the fixture could not read it
    std::uint64_t started = 0;     // system time of the start, in 100 ns units
    std::wstring command_line;
    std::wstring working_directory;
    std::optional<std::wstring> kvr_root;
    std::optional<std::wstring> path;
    std::wstring file;  // where the record lies
};

// Every record that copies of a fixture at this path wrote, oldest first.
std::vector<StartRecord> read_start_records(const std::wstring& program_path);

// The same, and removes the records, so that the next call sees only newer ones.
std::vector<StartRecord> take_start_records(const std::wstring& program_path);

}  // namespace rivelo::test
