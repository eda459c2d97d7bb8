#include "launcher/argument_split.h"

namespace rivelo::launcher {

namespace {

bool is_space(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> split_command_line(std::wstring_view command_line) {
    std::vector<std::wstring> arguments;
    std::size_t i = 0;
    const std::size_t end = command_line.size();

    std::wstring program;
    bool quoted = false;
    for (; i < end && (quoted || !is_space(command_line[i])); ++i) {
        if (command_line[i] == L'"') {
            quoted = !quoted;
        } else {
            program += command_line[i];
        }
    }
    arguments.push_back(std::move(program));

    quoted = false;
    for (;;) {
        while (i < end && is_space(command_line[i])) ++i;
        if (i == end) break;
        std::wstring argument;
        while (i < end && (quoted || !is_space(command_line[i]))) {
            std::size_t backslashes = 0;
            while (i < end && command_line[i] == L'\\') {
                ++backslashes;
                ++i;
            }
            if (i < end && command_line[i] == L'"') {
                argument.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    argument += L'"';
                } else if (quoted && i + 1 < end && command_line[i + 1] == L'"') {
                    argument += L'"';
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                argument.append(backslashes, L'\\');
                if (i < end && (quoted || !is_space(command_line[i])))
                    argument += command_line[i++];
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

}  // namespace rivelo::launcher
