#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/start_record.h"

namespace rivelo::test {

// A root folder laid out as the service expects it, with the stand-in
// servers and a copy of rivelo_svc.exe:
//   rivelo_svc.exe, apache\bin\httpd.exe, apache\logs\, php\php-cgi.exe,
//   php\lib\imagick\, mysql\bin\mysqld.exe, mysql\bin\mysqladmin.exe
class SampleRoot {
public:
    SampleRoot();

    [[nodiscard]] const std::wstring& path() const { return scratch_.path(); }
    [[nodiscard]] std::wstring operator/(const std::wstring& relative) const { return scratch_ / relative; }

    [[nodiscard]] std::wstring service_program() const { return scratch_ / L"rivelo_svc.exe"; }
    [[nodiscard]] std::wstring httpd() const { return scratch_ / L"apache\\bin\\httpd.exe"; }
    [[nodiscard]] std::wstring php_cgi() const { return scratch_ / L"php\\php-cgi.exe"; }
    [[nodiscard]] std::wstring mysqld() const { return scratch_ / L"mysql\\bin\\mysqld.exe"; }
    [[nodiscard]] std::wstring mysqladmin() const { return scratch_ / L"mysql\\bin\\mysqladmin.exe"; }
    [[nodiscard]] std::wstring pid_file() const { return scratch_ / L"apache\\logs\\httpd.pid"; }

    // Waits until `program` has written at least `count` start records.
    std::vector<StartRecord> wait_for_records(const std::wstring& program, std::size_t count,
                                              std::chrono::milliseconds timeout) const;

private:
    ScratchDir scratch_;
};

// The database server's argument, as the service passes it.
extern const wchar_t kDatabaseOptions[];

// True while a process with this id runs.
bool process_running(std::uint32_t pid);

// How many processes of this image name (e.g. L"httpd.exe") run in the
// prefix, whoever started them.
std::size_t count_processes(const std::wstring& image_name);

}  // namespace rivelo::test
