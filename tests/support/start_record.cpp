#include "support/start_record.h"

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>

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

using Fields = std::map<std::wstring, std::wstring, std::less<>>;

// The "key=value" lines (the last of a key counts), or nothing unless the
// last line ends with a line break.
std::optional<Fields> fields_of(const std::wstring& text) {
    if (text.empty() || text.back() != L'\n') return std::nullopt;
    Fields fields;
    for (std::size_t begin = 0, end = text.find(L'\n'); end != std::wstring::npos;
         begin = end + 1, end = text.find(L'\n', begin)) {
        const std::wstring_view line(text.data() + begin, end - begin);
        const std::size_t eq = line.find(L'=');
        if (eq != std::wstring_view::npos)
            fields.insert_or_assign(std::wstring(line.substr(0, eq)),
                                    std::wstring(line.substr(eq + 1)));
    }
    return fields;
}

std::optional<std::wstring> field(const Fields& fields, std::wstring_view key) {
    const auto found = fields.find(key);
    return found == fields.end() ? std::nullopt : std::optional<std::wstring>(found->second);
}

std::optional<std::uint64_t> number_field(const Fields& fields, std::wstring_view key) {
    const std::optional<std::wstring> text = field(fields, key);
    return text ? parse_number(*text) : std::nullopt;
}

// The record, or nothing unless every line a fixture always writes is there
// (the last one ends with a line break), and the numbers are numbers.
std::optional<StartRecord> parse(const std::wstring& text) {
    const std::optional<Fields> fields = fields_of(text);
    if (!fields) return std::nullopt;
    const std::optional<std::uint64_t> pid = number_field(*fields, L"pid");
    const std::optional<std::uint64_t> started = number_field(*fields, L"started");
    std::optional<std::wstring> command_line = field(*fields, L"command_line");
    std::optional<std::wstring> working_directory = field(*fields, L"working_directory");
    if (!pid || *pid == 0 || !started || !command_line || !working_directory) return std::nullopt;

    StartRecord record;
    record.pid = static_cast<std::uint32_t>(*pid);
    record.parent_pid =
        static_cast<std::uint32_t>(number_field(*fields, L"parent_pid").value_or(0));
    record.started = *started;
    record.command_line = std::move(*command_line);
    record.working_directory = std::move(*working_directory);
    record.kvr_root = field(*fields, L"KVR_ROOT");
    record.path = field(*fields, L"PATH");
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
