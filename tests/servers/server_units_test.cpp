// The web server and database units run against the stand-in programs in a
// root folder: the children's command lines, a stop that both servers obey,
// and the failure paths. Each case starts and ends its own stand-ins; the
// web server's stop ends every httpd.exe and php-cgi.exe of the Wine prefix,
// so the cases run one after another.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <list>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/start_retrying.h"
#include "platform/environment.h"
#include "platform/failure.h"
#include "platform/filesystem.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "servers/database_unit.h"
#include "servers/web_server_unit.h"
#include "service/run_state.h"
#include "service/worker_pool.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/start_record.h"
#include "support/taskkill_probe.h"
#include "support/watched_process.h"
#include "support/working_directory_scope.h"

namespace rivelo::test {
namespace {

using service::RunState;
using service::ServiceState;

constexpr wchar_t kShutdownArguments[] = L" shutdown -uroot -pkqz4w7rvtx2lem";
constexpr wchar_t kRefusePasswordMarker[] = L"mysql\\refuse-password";

// Long enough for a program to start under a busy Wine.
constexpr std::chrono::milliseconds kStartTimeout{30000};
// Bounds for a unit that should end: after a stop, or at once when its
// server cannot be started.
constexpr std::chrono::milliseconds kStopTimeout{60000};
// Bound for a killed PHP process to be gone.
constexpr std::chrono::milliseconds kExitTimeout{10000};
// How many shutdown requests a refused password is watched for.
constexpr std::size_t kRefusedRequests = 3;

// Tells the child run of this test program which root to use.
constexpr wchar_t kChildRootVariable[] = L"RIVELO_TEST_DATABASE_ROOT";
constexpr wchar_t kChildFilter[] = L"--gtest_filter=DatabaseUnitChild.DISABLED_RunsUntilTheStop";

using Unit = void (*)(servers::UnitContext, servers::ChildProcesses&);

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

bool ends_within(const std::future<void>& task, std::chrono::milliseconds timeout) {
    return task.wait_for(timeout) == std::future_status::ready;
}

struct ChildRun {
    bool ended = false;
    std::uint32_t exit_code = 0;
    std::string output;  // standard output and error together
};

// Runs the program with a file as its standard output and error. Pipes would
// not do: the servers it starts inherit its standard handles and outlive it,
// so a pipe would never report its end.
ChildRun run_with_output_file(const std::wstring& program, std::wstring command_line,
                              const std::wstring& output_file) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    platform::UniqueHandle output(CreateFileW(output_file.c_str(), GENERIC_WRITE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output) {
        ADD_FAILURE() << "cannot create the output file, error " << GetLastError();
        return {};
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION info{};
    if (!start_retrying_lost([&] {
            return CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &info) != 0;
        })) {
        ADD_FAILURE() << "cannot start the program, error " << GetLastError();
        return {};
    }
    const platform::UniqueHandle process(info.hProcess);
    const platform::UniqueHandle thread(info.hThread);
    output.reset();

    ChildRun run;
    run.ended = WaitForSingleObject(process.get(), static_cast<DWORD>(kStopTimeout.count())) ==
                WAIT_OBJECT_0;
    if (!run.ended) TerminateProcess(process.get(), 1);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    run.exit_code = code;
    std::ifstream file(std::filesystem::path(output_file), std::ios::binary);
    run.output.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return run;
}

// A root folder with the stand-ins, made the working directory (the children
// inherit it, as from the service), and the units' tasks on threads of their
// own as on pool threads.
class ServerUnits : public ::testing::Test {
protected:
    static void SetUpTestSuite() { (void)taskkill_ends_every_process_of_a_name(); }

    ~ServerUnits() override {
        // Whatever a case left running ends here, so that the tasks (which go
        // first among the members) have nothing left to wait for.
        state->write(ServiceState::StopPending);
        root.end_stand_ins();
    }

    std::future<void>& start(Unit unit, const std::wstring& root_dir) {
        tasks_.push_back(std::async(std::launch::async, [unit, root_dir, run_state = state] {
            unit(servers::UnitContext{root_dir, run_state}, servers::system_child_processes());
        }));
        return tasks_.back();
    }

    SampleRoot root;
    WorkingDirectoryScope in_root{root.path()};
    service::RunStateRef state = RunState::create(ServiceState::Running);

private:
    std::list<std::future<void>> tasks_;
};

struct StopCase {
    const char* name;
    bool trailing_separator;
    bool read_only_pid_file;
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class ServerUnitsStop : public ServerUnits, public ::testing::WithParamInterface<StopCase> {};

TEST_P(ServerUnitsStop, BothServersStopWithTheirOwnMethodsAndGetTheirCommandLines) {
    const StopCase& c = GetParam();
    const std::wstring root_dir = root.path() + (c.trailing_separator ? L"\\" : L"");
    std::future<void>& web = start(servers::run_web_server, root_dir);
    std::future<void>& database = start(servers::run_database, root_dir);

    // The web server's parent, then its worker.
    const auto httpd = root.wait_for_records(root / kHttpdProgram, 2, kStartTimeout);
    const auto php = root.wait_for_records(root / kPhpProgram, 2, kStartTimeout);
    const auto mysqld = root.wait_for_records(root / kMysqldProgram, 1, kStartTimeout);
    ASSERT_EQ(httpd.size(), 2u);
    ASSERT_EQ(php.size(), 2u);
    ASSERT_EQ(mysqld.size(), 1u);
    const WatchedProcess httpd_process(httpd[0].pid);
    // What only taskkill by name ends.
    const WatchedProcess web_children[] = {WatchedProcess(httpd[1].pid), WatchedProcess(php[0].pid),
                                           WatchedProcess(php[1].pid)};
    const WatchedProcess mysqld_process(mysqld[0].pid);
    const std::wstring pid_file = root / kPidFile;
    ASSERT_TRUE(file_exists(pid_file)) << "the web server writes it when it starts";
    if (c.read_only_pid_file) {
        ASSERT_TRUE(SetFileAttributesW(pid_file.c_str(), FILE_ATTRIBUTE_READONLY));
    }
    EXPECT_FALSE(ends_within(web, std::chrono::milliseconds::zero())) << "runs until the stop";
    EXPECT_FALSE(ends_within(database, std::chrono::milliseconds::zero())) << "runs until the stop";

    state->write(ServiceState::StopPending);

    ASSERT_TRUE(ends_within(web, kStopTimeout));
    ASSERT_TRUE(ends_within(database, kStopTimeout));
    EXPECT_NO_THROW(web.get());
    EXPECT_NO_THROW(database.get());
    EXPECT_TRUE(httpd_process.exits_within(std::chrono::milliseconds::zero()));
    check_web_processes_ended([&] {
        for (const WatchedProcess& process : web_children)
            EXPECT_TRUE(process.exits_within(kExitTimeout));
    });
    EXPECT_FALSE(file_exists(pid_file));
    ASSERT_TRUE(mysqld_process.exits_within(std::chrono::milliseconds::zero()));
    EXPECT_EQ(mysqld_process.exit_code(), 0u) << "shut down on request, not ended by force";

    ASSERT_EQ(std::wstring(kDatabaseOptions).size(), 228u);
    EXPECT_EQ(httpd[0].command_line, quoted(root / kHttpdProgram));
    EXPECT_EQ(mysqld[0].command_line, quoted(root / kMysqldProgram) + L" " + kDatabaseOptions);
    // The client waits until the database has exited, so one run stops it.
    const auto admin = read_start_records(root / kMysqladminProgram);
    EXPECT_EQ(admin.size(), 1u);
    for (const StartRecord& record : admin) {
        EXPECT_EQ(record.command_line, quoted(root / kMysqladminProgram) + kShutdownArguments);
    }
    for (const auto* records : {&httpd, &mysqld, &admin}) {
        for (const StartRecord& record : *records) EXPECT_EQ(record.working_directory, root.path());
    }
}

INSTANTIATE_TEST_SUITE_P(Roots, ServerUnitsStop,
                         ::testing::Values(StopCase{"Plain", false, false},
                                           StopCase{"TrailingSeparator", true, false},
                                           StopCase{"ReadOnlyPidFile", false, true}),
                         [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(ServerUnits, ServersThatCannotStartAreGivenUpAndNeverStopped) {
    ASSERT_TRUE(DeleteFileW((root / kHttpdProgram).c_str()));
    ASSERT_TRUE(DeleteFileW((root / kMysqldProgram).c_str()));
    write_file(root / kPidFile, "1234\r\n");
    const WatchedProcess unrelated_php = start_process(root / kPhpProgram);
    ASSERT_EQ(root.wait_for_records(root / kPhpProgram, 1, kStartTimeout).size(), 1u);

    std::future<void>& web = start(servers::run_web_server, root.path());
    std::future<void>& database = start(servers::run_database, root.path());
    EXPECT_TRUE(ends_within(web, kStopTimeout)) << "ends without waiting for the stop";
    EXPECT_TRUE(ends_within(database, kStopTimeout)) << "ends without waiting for the stop";
    state->write(ServiceState::StopPending);

    EXPECT_TRUE(unrelated_php.running()) << "no taskkill ran";
    EXPECT_TRUE(file_exists(root / kPidFile));
    EXPECT_TRUE(read_start_records(root / kMysqladminProgram).empty());
}

TEST_F(ServerUnits, ServersThatExitedBeforeTheStopAreNotStopped) {
    std::future<void>& web = start(servers::run_web_server, root.path());
    std::future<void>& database = start(servers::run_database, root.path());
    const auto httpd = root.wait_for_records(root / kHttpdProgram, 2, kStartTimeout);
    const auto php = root.wait_for_records(root / kPhpProgram, 2, kStartTimeout);
    const auto mysqld = root.wait_for_records(root / kMysqldProgram, 1, kStartTimeout);
    ASSERT_EQ(httpd.size(), 2u);
    ASSERT_EQ(php.size(), 2u);
    ASSERT_EQ(mysqld.size(), 1u);
    const WatchedProcess php_processes[] = {WatchedProcess(php[0].pid), WatchedProcess(php[1].pid)};
    WatchedProcess(httpd[0].pid).terminate();
    WatchedProcess(mysqld[0].pid).terminate();

    state->write(ServiceState::StopPending);

    EXPECT_TRUE(ends_within(web, kStopTimeout));
    EXPECT_TRUE(ends_within(database, kStopTimeout));
    for (const WatchedProcess& process : php_processes)
        EXPECT_TRUE(process.running()) << "no taskkill ran";
    EXPECT_TRUE(file_exists(root / kPidFile));
    EXPECT_TRUE(read_start_records(root / kMysqladminProgram).empty());
}

TEST_F(ServerUnits, ARefusedPasswordRepeatsTheShutdownForAsLongAsTheServerRuns) {
    write_file(root / kRefusePasswordMarker, "");
    std::future<void>& database = start(servers::run_database, root.path());
    const auto mysqld = root.wait_for_records(root / kMysqldProgram, 1, kStartTimeout);
    ASSERT_EQ(mysqld.size(), 1u);
    const WatchedProcess server(mysqld[0].pid);

    state->write(ServiceState::StopPending);

    EXPECT_GE(
        root.wait_for_records(root / kMysqladminProgram, kRefusedRequests, kStopTimeout).size(),
        kRefusedRequests);
    EXPECT_FALSE(ends_within(database, std::chrono::milliseconds::zero()));
    EXPECT_TRUE(server.running()) << "never ended by force";

    server.terminate();
    EXPECT_TRUE(ends_within(database, kStopTimeout)) << "ends once the server has exited";
}

TEST_F(ServerUnits, AMissingAdministrationClientEndsTheProcessAtOnceAndLeavesTheServerRunning) {
    ASSERT_TRUE(DeleteFileW((root / kMysqladminProgram).c_str()));
    ASSERT_TRUE(SetEnvironmentVariableW(kChildRootVariable, root.path().c_str()));
    const std::wstring self = platform::current_program_path().value();
    const std::wstring command_line =
        command_line_for(self, {kChildFilter, L"--gtest_also_run_disabled_tests"});
    const ChildRun run = run_with_output_file(self, command_line, root / L"child.out");
    SetEnvironmentVariableW(kChildRootVariable, nullptr);

    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(run.exit_code, platform::kFailFastExitStatus) << run.output;
    const std::string report =
        "rivelo_svc: cannot start '" + platform::to_utf8(root / kMysqladminProgram) + "'";
    EXPECT_NE(run.output.find(report), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("(os error 2)"), std::string::npos) << run.output;
    const auto mysqld = read_start_records(root / kMysqldProgram);
    ASSERT_EQ(mysqld.size(), 1u);
    EXPECT_TRUE(WatchedProcess(mysqld[0].pid).running()) << "the database server was left alone";
}

// Runs only as the child of the case above: the database unit on a worker
// pool, in the root that the parent names; the stop is requested once the
// server runs. The failed stop must end the process before the task returns.
TEST(DatabaseUnitChild, DISABLED_RunsUntilTheStop) {
    const auto root_dir = platform::get_environment_variable(kChildRootVariable);
    ASSERT_TRUE(root_dir.has_value());
    const WorkingDirectoryScope in_root(*root_dir);
    const auto state = RunState::create(ServiceState::Running);
    service::WorkerPool pool = service::WorkerPool::create();
    pool.set_thread_range(1, 1);
    pool.submit([context = servers::UnitContext{*root_dir, state}]() mutable {
        servers::run_database(std::move(context));
    });
    SampleRoot::wait_for_records(*root_dir + L"\\" + kMysqldProgram, 1, kStartTimeout);
    state->write(ServiceState::StopPending);
    pool.join();
    ADD_FAILURE() << "the process went on after the stop";
}

}  // namespace
}  // namespace rivelo::test
