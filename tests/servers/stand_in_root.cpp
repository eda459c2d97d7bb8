#include "servers/stand_in_root.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "support/run_program.h"

namespace rivelo::test {

namespace {

constexpr std::chrono::milliseconds kRecordPollInterval{20};
constexpr std::chrono::milliseconds kEndTimeout{10000};

const wchar_t* const kStandIns[][2] = {
    {L"httpd.exe", kHttpdProgram},
    {L"php-cgi.exe", kPhpProgram},
    {L"mysqld.exe", kMysqldProgram},
    {L"mysqladmin.exe", kMysqladminProgram},
};

std::wstring image_path(HANDLE process) {
    std::wstring buffer(32768, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size)) return {};
    buffer.resize(size);
    return buffer;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// A record is written in one piece after the file is created; one that is
// read in between lacks its later lines.
bool complete(const StartRecord& record) { return record.pid != 0 && !record.working_directory.empty(); }

}  // namespace

StandInRoot::StandInRoot() {
    for (const auto& [built, installed] : kStandIns) copy_file(built_program(built), *this / installed);
    make_folders(*this / L"apache\\logs");
}

StandInRoot::~StandInRoot() { end_stand_ins(); }

void StandInRoot::end_stand_ins() const {
    for (const auto& stand_in : kStandIns) {
        const std::wstring program = *this / stand_in[1];
        for (const StartRecord& record : read_start_records(program)) {
            platform::UniqueHandle process(
                OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                            record.pid));
            // The id may have been reused by an unrelated process since.
            if (!process || !same_path(image_path(process.get()), program)) continue;
            if (WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) continue;
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), static_cast<DWORD>(kEndTimeout.count()));
        }
    }
}

WorkingDirectoryScope::WorkingDirectoryScope(const std::wstring& folder) {
    previous_.resize(32768);
    previous_.resize(GetCurrentDirectoryW(static_cast<DWORD>(previous_.size()), previous_.data()));
    if (!SetCurrentDirectoryW(folder.c_str())) ADD_FAILURE() << "cannot change into the root folder";
}

WorkingDirectoryScope::~WorkingDirectoryScope() { SetCurrentDirectoryW(previous_.c_str()); }

WatchedProcess::WatchedProcess(std::uint32_t pid)
    : process_(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
    if (!process_) ADD_FAILURE() << "cannot open process " << pid << ", error " << GetLastError();
}

bool WatchedProcess::exits_within(std::chrono::milliseconds timeout) const {
    return WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

bool WatchedProcess::running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

std::uint32_t WatchedProcess::exit_code() const {
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void WatchedProcess::terminate() const {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), static_cast<DWORD>(kEndTimeout.count()));
}

WatchedProcess start_process(const std::wstring& program) {
    std::wstring command_line = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        ADD_FAILURE() << "cannot start a program, error " << GetLastError();
        return WatchedProcess(platform::UniqueHandle());
    }
    const platform::UniqueHandle thread(info.hThread);
    return WatchedProcess(platform::UniqueHandle(info.hProcess));
}

std::vector<StartRecord> complete_records(const std::wstring& program) {
    std::vector<StartRecord> records;
    for (StartRecord& record : read_start_records(program)) {
        if (complete(record)) records.push_back(std::move(record));
    }
    return records;
}

std::vector<StartRecord> wait_for_records(const std::wstring& program, std::size_t count,
                                          std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<StartRecord> records = complete_records(program);
        if (records.size() >= count || std::chrono::steady_clock::now() >= deadline) return records;
        std::this_thread::sleep_for(kRecordPollInterval);
    }
}

}  // namespace rivelo::test
