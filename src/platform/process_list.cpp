#include "platform/process_list.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/unique_handle.h"

namespace rivelo::platform {

namespace {

// The longest path a process image can have, in UTF-16 code units.
constexpr DWORD kLongestPath = 32768;

}  // namespace

Result<std::vector<ProcessEntry>> list_processes() {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return last_error();
    std::vector<ProcessEntry> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        processes.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) return last_error();
    return processes;
}

Result<std::wstring> process_image_path(std::uint32_t pid) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return last_error();
    std::wstring path(kLongestPath, L'\0');
    DWORD size = kLongestPath;
    if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) return last_error();
    path.resize(size);
    return path;
}

}  // namespace rivelo::platform
