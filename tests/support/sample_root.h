#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/start_record.h"

namespace rivelo::test {

// Where the stand-in programs and the web server's pid file lie in a root
// folder.
inline constexpr wchar_t kHttpdProgram[] = L"apache\\bin\\httpd.exe";
inline constexpr wchar_t kPidFile[] = L"apache\\logs\\httpd.pid";
inline constexpr wchar_t kPhpProgram[] = L"php\\php-cgi.exe";
inline constexpr wchar_t kMysqldProgram[] = L"mysql\\bin\\mysqld.exe";
inline constexpr wchar_t kMysqladminProgram[] = L"mysql\\bin\\mysqladmin.exe";

// A root folder laid out as the service expects it, with the stand-in
// programs of tests/fixtures in place of the servers, their PHP processes and
// the database administration client, and a copy of rivelo_svc.exe:
//   rivelo_svc.exe, apache\bin\httpd.exe, apache\logs\, php\php-cgi.exe,
//   php\lib\imagick\, mysql\data\, mysql\bin\mysqld.exe,
//   mysql\bin\mysqladmin.exe
class SampleRoot {
public:
    SampleRoot();
    // The same layout at this path (made anew, removed at the end), but
    // without rivelo_svc.exe: the caller puts the program there.
    explicit SampleRoot(std::wstring path);
    // Ends every process still running from a program under this root.
    ~SampleRoot();
    SampleRoot(const SampleRoot&) = delete;
    SampleRoot& operator=(const SampleRoot&) = delete;

    [[nodiscard]] const std::wstring& path() const { return scratch_.path(); }
    [[nodiscard]] std::wstring operator/(const std::wstring& relative) const {
        return scratch_ / relative;
    }

    [[nodiscard]] std::wstring service_program() const { return scratch_ / L"rivelo_svc.exe"; }
    [[nodiscard]] std::wstring httpd() const { return scratch_ / kHttpdProgram; }
    [[nodiscard]] std::wstring php_cgi() const { return scratch_ / kPhpProgram; }
    [[nodiscard]] std::wstring mysqld() const { return scratch_ / kMysqldProgram; }
    [[nodiscard]] std::wstring mysqladmin() const { return scratch_ / kMysqladminProgram; }
    [[nodiscard]] std::wstring pid_file() const { return scratch_ / kPidFile; }

    // How long the stand-in database takes to shut down once asked (300 ms
    // unless set); read by the database when its shutdown begins.
    void set_database_shutdown_time(std::chrono::milliseconds time) const;

    // Makes the stand-in web server (its parent process) or the stand-in
    // database listen on 127.0.0.1 at this port once started; without it
    // they listen on none.
    void set_web_server_port(std::uint16_t port) const;
    void set_database_port(std::uint16_t port) const;

    // Ends every process still running from a program under this root.
    void end_stand_ins() const;

    // The start records of `program` once there are at least `count` of
    // them, or what there is when the timeout has passed. Static: a child
    // test program knows only the path of its parent's root.
    static std::vector<StartRecord> wait_for_records(const std::wstring& program, std::size_t count,
                                                     std::chrono::milliseconds timeout);

private:
    void lay_out_stand_ins() const;

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
