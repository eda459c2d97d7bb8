#include "support/start_record.h"

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

namespace rivelo::test {

namespace {

namespace fs = std::filesystem;

// The file's text; nothing when it cannot be opened or read whole.
std::optional<std::wstring> read_utf16_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (file.bad() || bytes.size() % sizeof(wchar_t) != 0) return std::nullopt;
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    std::ranges::copy(bytes, reinterpret_cast<char*>(text.data()));
    return text;
}

// A whole decimal number, or nothing.
std::optional<std::uint64_t> parse_number(const std::wstring& text) {
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return std::nullopt;
    return std::wcstoull(text.c_str(), nullptr, 10);
}

// The record, or nothing unless every line a fixture always writes is there
// (the last one ends with a line break), and the numbers are numbers.
std::optional<StartRecord> parse(const std::wstring& text) {
    if (text.empty() || text.back() != L'\n') return std::nullopt;
    StartRecord record;
    std::optional<std::uint64_t> pid;
    std::optional<std::uint64_t> started;
    bool has_command_line = false;
    bool has_working_directory = false;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find(L'\n', begin);
        const std::wstring_view line(text.data() + begin, end - begin);
        const std::size_t eq = line.find(L'=');
        if (eq != std::wstring_view::npos) {
            const std::wstring_view key = line.substr(0, eq);
            const std::wstring value(line.substr(eq + 1));
            if (key == L"pid") pid = parse_number(value);
            if (key == L"parent_pid") record.parent_pid = parse_number(value).value_or(0);
            if (key == L"started") started = parse_number(value);
            if (key == L"command_line") {
                record.command_line = value;
                has_command_line = true;
            }
            if (key == L"working_directory") {
                record.working_directory = value;
                has_working_directory = true;
            }
            if (key == L"KVR_ROOT") record.kvr_root = value;
            if (key == L"PATH") record.path = value;
        }
        begin = end + 1;
    }
    if (!pid || *pid == 0 || !started || !has_command_line || !has_working_directory)
        return std::nullopt;
    record.pid = static_cast<std::uint32_t>(*pid);
    record.started = *started;
    return record;
}

}  // namespace

std::vector<StartRecord> read_start_records(const std::wstring& program_path) {
    const fs::path program(program_path);
    const std::wstring prefix = program.filename().wstring() + L".";
    std::vector<StartRecord> records;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(program.parent_path(), error)) {
        const std::wstring name = entry.path().filename().wstring();
        if (!name.starts_with(prefix) || entry.path().extension() != L".record") continue;
        // A record that cannot be read yet (its writer may still hold it
        // open for the rename) counts as not there; a later read sees it.
        const std::optional<std::wstring> text = read_utf16_file(entry.path());
        std::optional<StartRecord> record = text ? parse(*text) : std::nullopt;
        if (!record) continue;
        record->file = entry.path().wstring();
        records.push_back(std::move(*record));
    }
    std::ranges::sort(records, {}, &StartRecord::started);
    return records;
}

std::vector<StartRecord> take_start_records(const std::wstring& program_path) {
    std::vector<StartRecord> records = read_start_records(program_path);
    for (const StartRecord& record : records) {
        std::error_code ignored;
        fs::remove(record.file, ignored);
    }
    return records;
}

}  // namespace rivelo::test
