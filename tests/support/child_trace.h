#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rivelo::test {

// One line of a child trace (see fixtures/child_trace.h).
struct ChildTraceEntry {
    enum class Kind { Started, Failed, Exited };
    Kind kind = Kind::Started;
    // The pid (started, exited) or CreateProcessW's error code (failed).
    std::uint32_t number = 0;
    // The program (started, failed), or the exit code in decimal (exited).
    std::wstring detail;
};

// The whole lines that the copies of a traced program at this path wrote,
// oldest first; none when there is no trace yet.
std::vector<ChildTraceEntry> read_child_trace(const std::wstring& program_path);

std::string describe(const ChildTraceEntry& entry);

}  // namespace rivelo::test
