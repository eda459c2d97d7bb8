// The stop actions of the web server and database units, driven with a
// recording child-process layer: which helpers they start, from which system
// folder, in what order against the pid file, and which failures end the
// service.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "platform/system_error.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "servers/database_unit.h"
#include "servers/recording_child_processes.h"
#include "servers/web_server_unit.h"
#include "service/run_state.h"
#include "support/background_call.h"
#include "support/fatal_message.h"
#include "support/scratch_dir.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;
using Call = RecordingChildProcesses::Call;
using Operation = RecordingChildProcesses::Operation;

// A system installed on another drive and in another folder.
constexpr wchar_t kSystemFolder[] = L"D:\\OS\\System32";
constexpr wchar_t kCmd[] = L"D:\\OS\\System32\\cmd.exe";
constexpr wchar_t kEndHttpd[] = L"/C taskkill /IM httpd.exe /F";
constexpr wchar_t kEndPhp[] = L"/C taskkill /IM php-cgi.exe /F";
constexpr wchar_t kShutdown[] = L"shutdown -uroot -pkqz4w7rvtx2lem";

bool contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

class WebServerStop : public ::testing::Test {
protected:
    void write_pid_file() const { write_file(pid_file, "1234\r\n"); }

    // As a virus scanner or backup tool may hold it while reading it.
    [[nodiscard]] platform::UniqueHandle hold_without_delete_sharing() const {
        return platform::UniqueHandle(CreateFileW(pid_file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                  nullptr));
    }

    ScratchDir scratch;
    const std::wstring pid_file = scratch / L"httpd.pid";
    RecordingChildProcesses children{pid_file};
};

enum class PidFile { plain, read_only, missing };

TEST_F(WebServerStop, EndsTheServersThenRemovesThePidFileThenEndsPhp) {
    const struct {
        const char* name;
        PidFile pid;
    } cases[] = {{"plain pid file", PidFile::plain},
                 {"read-only pid file", PidFile::read_only},
                 {"no pid file", PidFile::missing}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        children.calls.clear();
        if (c.pid != PidFile::missing) write_pid_file();
        if (c.pid == PidFile::read_only) {
            ASSERT_TRUE(SetFileAttributesW(pid_file.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        const bool present = c.pid != PidFile::missing;
        // taskkill's exit code when it found nothing: not looked at.
        children.exit_code = 128;

        servers::stop_web_server(pid_file, kSystemFolder, children);

        const std::vector<Call> expected = {
            {Operation::start, kCmd, kEndHttpd, present},
            {Operation::wait, kCmd, kEndHttpd, present},
            {Operation::start, kCmd, kEndPhp, false},
            {Operation::wait, kCmd, kEndPhp, false},
        };
        EXPECT_EQ(children.calls, expected);
        EXPECT_FALSE(file_exists(pid_file));
    }
}

TEST_F(WebServerStop, AFirstHelperThatCannotStartLeavesThePidFileAndStillEndsPhp) {
    write_pid_file();
    children.start_failures[kEndHttpd] = platform::win32_error(ERROR_FILE_NOT_FOUND);

    servers::stop_web_server(pid_file, kSystemFolder, children);

    const std::vector<Call> expected = {
        {Operation::start, kCmd, kEndHttpd, true},
        {Operation::start, kCmd, kEndPhp, true},
        {Operation::wait, kCmd, kEndPhp, true},
    };
    EXPECT_EQ(children.calls, expected);
    EXPECT_TRUE(file_exists(pid_file));
}

TEST_F(WebServerStop, ASecondHelperThatCannotStartIsGivenUp) {
    write_pid_file();
    children.start_failures[kEndPhp] = platform::win32_error(ERROR_FILE_NOT_FOUND);

    servers::stop_web_server(pid_file, kSystemFolder, children);

    const std::vector<Call> expected = {
        {Operation::start, kCmd, kEndHttpd, true},
        {Operation::wait, kCmd, kEndHttpd, true},
        {Operation::start, kCmd, kEndPhp, false},
    };
    EXPECT_EQ(children.calls, expected);
    EXPECT_FALSE(file_exists(pid_file));
}

TEST_F(WebServerStop, AFailedWaitForEitherHelperIsFatal) {
    for (const wchar_t* helper : {kEndHttpd, kEndPhp}) {
        SCOPED_TRACE(platform::to_utf8(helper));
        children.calls.clear();
        children.wait_failures.clear();
        children.wait_failures[helper] = platform::win32_error(ERROR_ACCESS_DENIED);
        write_pid_file();

        const auto message =
            fatal_message([&] { servers::stop_web_server(pid_file, kSystemFolder, children); });

        ASSERT_TRUE(message.has_value());
        EXPECT_TRUE(contains(*message, helper)) << *message;
        EXPECT_TRUE(contains(*message, L"(os error 5)")) << *message;
        EXPECT_EQ(children.calls.back().operation, Operation::wait)
            << "nothing runs after the failed wait";
        // A failed wait for the first helper comes before the pid file.
        EXPECT_EQ(file_exists(pid_file), helper == std::wstring(kEndHttpd));
    }
}

TEST_F(WebServerStop, APidFileThatCannotBeDeletedIsFatal) {
    // A folder in its place passes the attribute test but is no file; a file
    // that another process holds open without delete sharing is refused.
    make_folders(pid_file);
    auto folder_message =
        fatal_message([&] { servers::stop_web_server(pid_file, kSystemFolder, children); });
    ASSERT_TRUE(folder_message.has_value());
    EXPECT_TRUE(contains(*folder_message, pid_file)) << *folder_message;
    EXPECT_TRUE(contains(*folder_message, L"(os error ")) << *folder_message;
    RemoveDirectoryW(pid_file.c_str());

    write_pid_file();
    const platform::UniqueHandle held = hold_without_delete_sharing();
    ASSERT_TRUE(held);
    children.calls.clear();
    const auto before = std::chrono::steady_clock::now();
    auto held_message =
        fatal_message([&] { servers::stop_web_server(pid_file, kSystemFolder, children); });
    EXPECT_GE(std::chrono::steady_clock::now() - before, 900ms)
        << "the deletion was tried again for about a second first";
    ASSERT_TRUE(held_message.has_value());
    EXPECT_TRUE(contains(*held_message, pid_file)) << *held_message;
    EXPECT_TRUE(contains(*held_message, L"(os error 32)")) << *held_message;
    const std::vector<Call> expected = {
        {Operation::start, kCmd, kEndHttpd, true},
        {Operation::wait, kCmd, kEndHttpd, true},
    };
    EXPECT_EQ(children.calls, expected) << "the PHP processes are not ended after the failure";
}

// Let go well within the second that the deletion is tried for.
TEST_F(WebServerStop, APidFileHeldForAMomentIsRemovedAndTheStopGoesOn) {
    write_pid_file();
    platform::UniqueHandle held = hold_without_delete_sharing();
    ASSERT_TRUE(held);
    {
        BackgroundCall let_go([&] {
            std::this_thread::sleep_for(100ms);
            held.reset();
        });
        servers::stop_web_server(pid_file, kSystemFolder, children);
        let_go.finish("the pid file to be let go");
    }
    const std::vector<Call> expected = {
        {Operation::start, kCmd, kEndHttpd, true},
        {Operation::wait, kCmd, kEndHttpd, true},
        {Operation::start, kCmd, kEndPhp, false},
        {Operation::wait, kCmd, kEndPhp, false},
    };
    EXPECT_EQ(children.calls, expected);
    EXPECT_FALSE(file_exists(pid_file));
}

// Without a cmd.exe in the system folder the helpers cannot start and are
// skipped: the pid file stays, and the stop returns.
TEST_F(WebServerStop, AMissingCommandInterpreterSkipsTheHelpers) {
    write_pid_file();

    servers::stop_web_server(pid_file, scratch.path(), servers::system_child_processes());

    EXPECT_TRUE(file_exists(pid_file));
}

// A server that exits once a stop helper has run, as httpd.exe does.
class ServerEndedByItsStop final : public servers::ChildProcesses {
public:
    platform::Result<platform::ChildProcess> start_child(
        const std::wstring& program, const std::optional<std::wstring>& argument) override {
        if (argument) helpers.push_back(program);
        return platform::ChildProcess{
            platform::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)), {}};
    }
    platform::Result<platform::ExitPoll> wait_exit_for(const platform::ChildProcess&,
                                                       std::chrono::milliseconds) override {
        return platform::ExitPoll{!helpers.empty(), 0};
    }
    platform::Result<std::uint32_t> wait_exit(const platform::ChildProcess&) override { return 0u; }
    void pause_before_retry(std::chrono::milliseconds) override {}

    std::vector<std::wstring> helpers;
};

// The unit takes its helpers from the system's own folder: on a system in
// C:\Windows (Wine's too) the program of today.
TEST(WebServerUnit, StartsItsStopHelpersFromTheSystemFolder) {
    ServerEndedByItsStop children;
    const auto run_state = service::RunState::create(service::ServiceState::StopPending);

    servers::run_web_server({L"C:\\kvr", run_state}, children);

    ASSERT_EQ(children.helpers.size(), 2u);
    for (const std::wstring& helper : children.helpers) {
        EXPECT_EQ(_wcsicmp(helper.c_str(), L"C:\\Windows\\System32\\cmd.exe"), 0)
            << platform::to_utf8(helper);
    }
}

TEST(DatabaseStop, RunsTheAdministrationClientUnderTheRootWithTheShutdownCommand) {
    const struct {
        const wchar_t* root;
        const wchar_t* program;
    } cases[] = {
        {L"C:\\kvr", L"C:\\kvr\\mysql\\bin\\mysqladmin.exe"},
        {L"C:\\kvr\\", L"C:\\kvr\\mysql\\bin\\mysqladmin.exe"},
        {L"C:/kvr/", L"C:/kvr/mysql\\bin\\mysqladmin.exe"},
        {L"C:", L"C:mysql\\bin\\mysqladmin.exe"},
        {L"\\\\host\\share\\kvr", L"\\\\host\\share\\kvr\\mysql\\bin\\mysqladmin.exe"},
    };
    for (const auto& c : cases) {
        RecordingChildProcesses children;
        // A refused login or an unreachable server: not looked at.
        children.exit_code = 1;

        servers::stop_database(c.root, children);

        const std::vector<Call> expected = {
            {Operation::start, c.program, kShutdown, false},
            {Operation::wait, c.program, kShutdown, false},
        };
        EXPECT_EQ(children.calls, expected);
    }
}

TEST(DatabaseStop, AClientThatCannotStartOrBeWaitedForIsFatal) {
    const std::wstring program = L"C:\\kvr\\mysql\\bin\\mysqladmin.exe";
    {
        RecordingChildProcesses children;
        children.start_failures[kShutdown] = platform::win32_error(ERROR_FILE_NOT_FOUND);
        const auto message = fatal_message([&] { servers::stop_database(L"C:\\kvr", children); });
        ASSERT_TRUE(message.has_value());
        EXPECT_TRUE(contains(*message, program)) << *message;
        EXPECT_TRUE(contains(*message, L"(os error 2)")) << *message;
        EXPECT_EQ(children.calls.size(), 1u) << "no wait after a failed start";
    }
    {
        RecordingChildProcesses children;
        children.wait_failures[kShutdown] = platform::win32_error(ERROR_INVALID_HANDLE);
        const auto message = fatal_message([&] { servers::stop_database(L"C:\\kvr", children); });
        ASSERT_TRUE(message.has_value());
        EXPECT_TRUE(contains(*message, program)) << *message;
        EXPECT_TRUE(contains(*message, L"(os error 6)")) << *message;
    }
}

}  // namespace
}  // namespace rivelo::test
