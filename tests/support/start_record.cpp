#include "support/start_record.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

namespace rivelo::test {

namespace {

namespace fs = std::filesystem;

std::wstring read_utf16_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(text.size() * sizeof(wchar_t)),
              reinterpret_cast<char*>(text.data()));
    return text;
}

StartRecord parse(const std::wstring& text) {
    StartRecord record;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find(L'\n', begin);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring_view line(text.data() + begin, end - begin);
        const std::size_t eq = line.find(L'=');
        if (eq != std::wstring_view::npos) {
            const std::wstring_view key = line.substr(0, eq);
            const std::wstring value(line.substr(eq + 1));
            if (key == L"pid") record.pid = static_cast<std::uint32_t>(std::stoul(value));
            if (key == L"started") record.started = std::stoull(value);
            if (key == L"command_line") record.command_line = value;
            if (key == L"working_directory") record.working_directory = value;
            if (key == L"KVR_ROOT") record.kvr_root = value;
            if (key == L"PATH") record.path = value;
        }
        begin = end + 1;
    }
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
        if (name.rfind(prefix, 0) != 0 || entry.path().extension() != L".record") continue;
        records.push_back(parse(read_utf16_file(entry.path())));
        records.back().file = entry.path().wstring();
    }
    std::sort(records.begin(), records.end(),
              [](const StartRecord& a, const StartRecord& b) { return a.started < b.started; });
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
