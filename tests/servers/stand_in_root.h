#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/unique_handle.h"
#include "support/scratch_dir.h"
#include "support/start_record.h"

namespace rivelo::test {

// Where the stand-in programs lie in a root folder, and the pid file.
inline constexpr wchar_t kHttpdProgram[] = L"apache\\bin\\httpd.exe";
inline constexpr wchar_t kPidFile[] = L"apache\\logs\\httpd.pid";
inline constexpr wchar_t kPhpProgram[] = L"php\\php-cgi.exe";
inline constexpr wchar_t kMysqldProgram[] = L"mysql\\bin\\mysqld.exe";
inline constexpr wchar_t kMysqladminProgram[] = L"mysql\\bin\\mysqladmin.exe";

// Long enough for a program to start under a busy Wine.
inline constexpr std::chrono::milliseconds kStartTimeout{30000};

// A root folder laid out like an installation, with the stand-in programs of
// tests/fixtures in place of the servers, their PHP processes and the
// database administration client, and the (empty) folder of the pid file.
class StandInRoot {
public:
    StandInRoot();
    // Ends the stand-in processes of this root that still run.
    ~StandInRoot();
    StandInRoot(const StandInRoot&) = delete;
    StandInRoot& operator=(const StandInRoot&) = delete;

    [[nodiscard]] const std::wstring& path() const { return scratch_.path(); }
    [[nodiscard]] std::wstring operator/(const std::wstring& relative) const { return scratch_ / relative; }

    // Ends, by their recorded ids, the stand-in processes started from this
    // root's programs that still run.
    void end_stand_ins() const;

private:
    ScratchDir scratch_;
};

// Makes the folder the working directory of the test process, which every
// child inherits, and restores the previous one at the end.
class WorkingDirectoryScope {
public:
    explicit WorkingDirectoryScope(const std::wstring& folder);
    ~WorkingDirectoryScope();
    WorkingDirectoryScope(const WorkingDirectoryScope&) = delete;
    WorkingDirectoryScope& operator=(const WorkingDirectoryScope&) = delete;

private:
    std::wstring previous_;
};

// A process opened by its id while it is known to run, so that its end can
// be observed later even after the id has been reused.
class WatchedProcess {
public:
    explicit WatchedProcess(std::uint32_t pid);
    explicit WatchedProcess(platform::UniqueHandle process) : process_(std::move(process)) {}

    [[nodiscard]] bool exits_within(std::chrono::milliseconds timeout) const;
    [[nodiscard]] bool running() const;
    [[nodiscard]] std::uint32_t exit_code() const;
    void terminate() const;

private:
    platform::UniqueHandle process_;
};

// Starts the program with its quoted path as its command line, in the
// current working directory.
WatchedProcess start_process(const std::wstring& program);

// The complete start records of the program once there are at least `count`
// of them, or what there is when the timeout has passed.
std::vector<StartRecord> wait_for_records(const std::wstring& program, std::size_t count,
                                          std::chrono::milliseconds timeout = kStartTimeout);

// Starts the program with its quoted path as its command line, in the
// current working directory.
WatchedProcess start_process(const std::wstring& program);

// The complete start records of the program now.
std::vector<StartRecord> complete_records(const std::wstring& program);

}  // namespace rivelo::test
