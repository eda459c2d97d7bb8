#include "support/child_trace.h"

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace rivelo::test {

namespace {

std::optional<ChildTraceEntry> parse_line(std::wstring_view line) {
    const std::size_t first = line.find(L' ');
    const std::size_t second =
        first == std::wstring_view::npos ? first : line.find(L' ', first + 1);
    if (second == std::wstring_view::npos) return std::nullopt;
    const std::wstring_view kind = line.substr(0, first);
    const std::wstring number(line.substr(first + 1, second - first - 1));
    if (number.empty() || number.find_first_not_of(L"0123456789") != std::wstring::npos)
        return std::nullopt;
    ChildTraceEntry entry;
    if (kind == L"started") {
        entry.kind = ChildTraceEntry::Kind::Started;
    } else if (kind == L"failed") {
        entry.kind = ChildTraceEntry::Kind::Failed;
    } else if (kind == L"exited") {
        entry.kind = ChildTraceEntry::Kind::Exited;
    } else {
        return std::nullopt;
    }
    entry.number = static_cast<std::uint32_t>(std::wcstoul(number.c_str(), nullptr, 10));
    entry.detail = line.substr(second + 1);
    return entry;
}

}  // namespace

std::vector<ChildTraceEntry> read_child_trace(const std::wstring& program_path) {
    std::ifstream file(std::filesystem::path(program_path + L".children.log"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    std::copy_n(bytes.data(), text.size() * sizeof(wchar_t), reinterpret_cast<char*>(text.data()));

    std::vector<ChildTraceEntry> entries;
    std::size_t begin = 0;
    // A line still being written has no line break yet and is left for later.
    for (std::size_t end = text.find(L'\n'); end != std::wstring::npos;
         begin = end + 1, end = text.find(L'\n', begin)) {
        if (auto entry = parse_line(std::wstring_view(text).substr(begin, end - begin)))
            entries.push_back(std::move(*entry));
    }
    return entries;
}

std::string describe(const ChildTraceEntry& entry) {
    switch (entry.kind) {
        case ChildTraceEntry::Kind::Started:
            return "started pid " + std::to_string(entry.number) + " " +
                   platform::to_utf8(entry.detail);
        case ChildTraceEntry::Kind::Failed:
            return "CreateProcessW failed with error " + std::to_string(entry.number) + " for " +
                   platform::to_utf8(entry.detail);
        case ChildTraceEntry::Kind::Exited:
            return "pid " + std::to_string(entry.number) + " exited with code " +
                   platform::to_utf8(entry.detail);
    }
    return {};
}

}  // namespace rivelo::test
