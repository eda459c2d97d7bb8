#include "support/sample_root.h"

#include <windows.h>
#include <tlhelp32.h>

#include <thread>

#include "platform/unique_handle.h"
#include "support/patience.h"
#include "support/run_program.h"

namespace rivelo::test {

namespace {

constexpr std::chrono::milliseconds kRecordPollInterval{20};
// What the stand-in database reads its shutdown time from (see mysqld.cpp).
constexpr wchar_t kDatabaseShutdownTimeFile[] = L"mysql\\shutdown-milliseconds";
// What the stand-in servers read the port to listen on from (see listen_port.h).
constexpr wchar_t kWebServerPortFile[] = L"apache\\listen-port";
constexpr wchar_t kDatabasePortFile[] = L"mysql\\listen-port";

// Each stand-in: the built program's file name, and where it lies in a root.
const wchar_t* const kStandIns[][2] = {
    {L"httpd.exe", kHttpdProgram},
    {L"php-cgi.exe", kPhpProgram},
    {L"mysqld.exe", kMysqldProgram},
    {L"mysqladmin.exe", kMysqladminProgram},
};

std::wstring image_path(HANDLE process) {
    std::wstring buffer(32768, L'\0');
    auto size = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size)) return {};
    buffer.resize(size);
    return buffer;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

const wchar_t kDatabaseOptions[] =
    L"--disable-log-bin --skip-innodb-log-checksums --skip-binlog-gtid-simple-recovery "
    L"--skip-ssl --skip-admin-ssl --skip-innodb-doublewrite --skip-auto-generate-certs "
    L"--skip-innodb-file-per-table --standalone --datadir=data --console";

SampleRoot::SampleRoot() {
    lay_out_stand_ins();
    copy_file(built_program(L"rivelo_svc.exe"), service_program());
}

SampleRoot::SampleRoot(std::wstring path) : scratch_(std::move(path)) { lay_out_stand_ins(); }

void SampleRoot::lay_out_stand_ins() const {
    make_folders(scratch_ / L"apache\\logs");
    make_folders(scratch_ / L"php\\lib\\imagick");
    make_folders(scratch_ / L"mysql\\data");
    for (const auto& [built, installed] : kStandIns)
        copy_file(built_program(built), *this / installed);
}

SampleRoot::~SampleRoot() { end_stand_ins(); }

void SampleRoot::set_database_shutdown_time(std::chrono::milliseconds time) const {
    write_file(*this / kDatabaseShutdownTimeFile, std::to_string(time.count()));
}

void SampleRoot::set_web_server_port(std::uint16_t port) const {
    write_file(*this / kWebServerPortFile, std::to_string(port));
}

void SampleRoot::set_database_port(std::uint16_t port) const {
    write_file(*this / kDatabasePortFile, std::to_string(port));
}

void SampleRoot::end_stand_ins() const {
    // By the process list, not the start records: under Wine a child whose
    // creator was ended inside CreateProcessW stays suspended at its creation
    // and never writes a record.
    std::wstring folder = path();
    if (!folder.ends_with(L'\\')) folder += L'\\';
    const platform::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        const platform::UniqueHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                        entry.th32ProcessID));
        if (!process || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) continue;
        const std::wstring image = image_path(process.get());
        if (image.size() <= folder.size() || !same_path(image.substr(0, folder.size()), folder))
            continue;
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(),
                            static_cast<DWORD>(std::chrono::milliseconds(kPatience).count()));
    }
}

std::vector<StartRecord> SampleRoot::wait_for_records(const std::wstring& program,
                                                      std::size_t count,
                                                      std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<StartRecord> records = read_start_records(program);
        if (records.size() >= count || std::chrono::steady_clock::now() >= deadline) return records;
        std::this_thread::sleep_for(kRecordPollInterval);
    }
}

bool process_running(std::uint32_t pid) {
    platform::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

std::size_t count_processes(const std::wstring& image_name) {
    platform::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    std::size_t count = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, image_name.c_str()) == 0 &&
            process_running(entry.th32ProcessID))
            ++count;
    }
    return count;
}

}  // namespace rivelo::test
