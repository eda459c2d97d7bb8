#include "support/sample_root.h"

#include <windows.h>
#include <tlhelp32.h>

#include <thread>

#include "platform/unique_handle.h"
#include "support/run_program.h"

namespace rivelo::test {

const wchar_t kDatabaseOptions[] =
    L"--disable-log-bin --skip-innodb-log-checksums --skip-binlog-gtid-simple-recovery "
    L"--skip-ssl --skip-admin-ssl --skip-innodb-doublewrite --skip-auto-generate-certs "
    L"--skip-innodb-file-per-table --standalone --datadir=data --console";

SampleRoot::SampleRoot() {
    make_folders(scratch_ / L"apache\\logs");
    make_folders(scratch_ / L"php\\lib\\imagick");
    make_folders(scratch_ / L"mysql\\data");
    copy_file(built_program(L"rivelo_svc.exe"), service_program());
    copy_file(built_program(L"httpd.exe"), httpd());
    copy_file(built_program(L"php-cgi.exe"), php_cgi());
    copy_file(built_program(L"mysqld.exe"), mysqld());
    copy_file(built_program(L"mysqladmin.exe"), mysqladmin());
}

std::vector<StartRecord> SampleRoot::wait_for_records(const std::wstring& program, std::size_t count,
                                                      std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<StartRecord> records = read_start_records(program);
        if (records.size() >= count || std::chrono::steady_clock::now() >= deadline) return records;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, image_name.c_str()) == 0 && process_running(entry.th32ProcessID)) ++count;
    }
    return count;
}

}  // namespace rivelo::test
