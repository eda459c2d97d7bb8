#include "launcher/argument_split.h"

namespace rivelo::launcher {

namespace {

bool is_space(wchar_t c) { return c == L' ' || c == L'\t'; }

// Reads entry 0 from `at` on: quotes only group, backslashes stay.
std::wstring read_program(std::wstring_view line, std::size_t& at) {
    std::wstring program;
    bool quoted = false;
    for (; at < line.size() && (quoted || !is_space(line[at])); ++at) {
        if (line[at] == L'"') {
            quoted = !quoted;
        } else {
            program += line[at];
        }
    }
    return program;
}

// Reads a run of backslashes at `at` and what they mean, with the quote
// after them when there is one: appends to `argument` and moves `at` past it.
void read_backslashes_and_quote(std::wstring_view line, std::size_t& at, std::wstring& argument,
                                bool& quoted) {
    std::size_t backslashes = 0;
    while (at < line.size() && line[at] == L'\\') {
        ++backslashes;
        ++at;
    }
    if (at == line.size() || line[at] != L'"') {
        argument.append(backslashes, L'\\');
        return;
    }
    argument.append(backslashes / 2, L'\\');
    if (backslashes % 2 == 1) {
        argument += L'"';
    } else if (quoted && at + 1 < line.size() && line[at + 1] == L'"') {
        argument += L'"';  // "" inside quotes: a literal quote, still quoted
        ++at;
    } else {
        quoted = !quoted;
    }
    ++at;
}

// Reads one argument from `at` on, which is not white space.
std::wstring read_argument(std::wstring_view line, std::size_t& at) {
    std::wstring argument;
    bool quoted = false;
    while (at < line.size() && (quoted || !is_space(line[at]))) {
        if (line[at] == L'\\' || line[at] == L'"') {
            read_backslashes_and_quote(line, at, argument, quoted);
        } else {
            argument += line[at++];
        }
    }
    return argument;
}

}  // namespace

std::vector<std::wstring> split_command_line(std::wstring_view command_line) {
    std::size_t at = 0;
    std::vector<std::wstring> arguments{read_program(command_line, at)};
    for (;;) {
        while (at < command_line.size() && is_space(command_line[at])) ++at;
        if (at == command_line.size()) break;
        arguments.push_back(read_argument(command_line, at));
    }
    return arguments;
}

}  // namespace rivelo::launcher
