// A start of a child that the system refuses for a passing reason is tried
// again, with doubling pauses, up to five attempts; any other refusal, and a
// passing one that lasts, is given up at once as before. Checked for each
// kind of child the service starts, through the injectable child-process
// layer, without spending the pauses.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "servers/database_unit.h"
#include "servers/web_server_unit.h"
#include "service/run_state.h"
#include "support/fatal_message.h"
#include "support/scratch_dir.h"

namespace rivelo::test {
namespace {

using platform::ChildProcess;
using platform::ExitPoll;
using platform::Result;
using Unit = void (*)(servers::UnitContext, servers::ChildProcesses&);

constexpr wchar_t kRoot[] = L"C:\\kvr";
// The database server's command line begins so; its options follow.
constexpr wchar_t kDatabaseServer[] = L"\"C:\\kvr\\mysql\\bin\\mysqld.exe\"";
constexpr wchar_t kWebServer[] = L"\"C:\\kvr\\apache\\bin\\httpd.exe\"";
constexpr wchar_t kSystemFolder[] = L"C:\\Windows\\System32";
constexpr wchar_t kEndHttpd[] = L"\"C:\\Windows\\System32\\cmd.exe\" /C taskkill /IM httpd.exe /F";
constexpr wchar_t kEndPhp[] = L"\"C:\\Windows\\System32\\cmd.exe\" /C taskkill /IM php-cgi.exe /F";
constexpr wchar_t kAdminClient[] =
    L"\"C:\\kvr\\mysql\\bin\\mysqladmin.exe\" shutdown -uroot -pkqz4w7rvtx2lem";

// Refuses the starts of the child whose command line begins with the given
// text, one code per attempt, and starts everything else (and that child once
// the codes are used up). Every started child has exited at its first look.
// Logs what happens to each child, by command line.
class RefusingChildProcesses final : public servers::ChildProcesses {
public:
    RefusingChildProcesses(std::wstring refused, std::deque<std::uint32_t> codes)
        : refused_(std::move(refused)), codes_(std::move(codes)) {}

    Result<ChildProcess> start_child(const std::wstring& program,
                                     const std::optional<std::wstring>& argument) override {
        const std::wstring line = platform::child_command_line(program, argument);
        if (line.starts_with(refused_)) {
            ++attempts;
            if (!codes_.empty()) {
                const std::uint32_t code = codes_.front();
                codes_.pop_front();
                return platform::win32_error(code);
            }
        }
        ChildProcess child{platform::UniqueHandle(CreateEventW(nullptr, TRUE, TRUE, nullptr)), {}};
        started_[child.process.get()] = line;
        log.push_back({"started", line});
        if (after_start) after_start();
        return child;
    }

    Result<ExitPoll> wait_exit_for(const ChildProcess& child, std::chrono::milliseconds) override {
        log.push_back({"looked at", started_.at(child.process.get())});
        return ExitPoll{true, 0};
    }

    Result<std::uint32_t> wait_exit(const ChildProcess& child) override {
        log.push_back({"waited for", started_.at(child.process.get())});
        return 0u;
    }

    void pause_before_retry(std::chrono::milliseconds pause) override {
        pauses.push_back(static_cast<int>(pause.count()));
        if (during_pause) during_pause();
    }

    std::function<void()> during_pause;
    std::function<void()> after_start;
    int attempts = 0;  // of the refused command line
    std::vector<int> pauses;
    struct Event {
        std::string what;
        std::wstring command_line;
    };
    std::vector<Event> log;

private:
    std::wstring refused_;
    std::deque<std::uint32_t> codes_;
    std::map<void*, std::wstring> started_;
};

struct Case {
    const char* name;
    std::deque<std::uint32_t> codes;  // what each attempt is refused with
    int attempts;
    std::vector<int> pauses;  // in milliseconds
    bool started;
};

const Case kCases[] = {
    {"passing once (Wine lost the start)", {1359}, 2, {50}, true},
    {"passing four times", {1359, 1359, 1359, 1359}, 5, {50, 100, 200, 400}, true},
    {"passing on every attempt", {1359, 1359, 1359, 1359, 1359}, 5, {50, 100, 200, 400}, false},
    {"not enough memory twice", {8, 8}, 3, {50, 100}, true},
    {"out of memory", {14}, 2, {50}, true},
    {"no system resources three times", {1450, 1450, 1450}, 4, {50, 100, 200}, true},
    {"commitment limit on every attempt",
     {1455, 1455, 1455, 1455, 1455},
     5,
     {50, 100, 200, 400},
     false},
    {"passing, then file not found", {1359, 2}, 2, {50}, false},
    {"file not found", {2}, 1, {}, false},
    {"path not found", {3}, 1, {}, false},
    {"access denied", {5}, 1, {}, false},
    {"not a valid program", {193}, 1, {}, false},
};

// The error a given-up start ends with, as reports write it.
std::wstring last_error_text(const Case& c) {
    return L"(os error " + std::to_wstring(c.codes.back()) + L")";
}

using Events = std::vector<std::string>;

// What happened to the children whose command line begins with the text.
Events events_of(const RefusingChildProcesses& children, const std::wstring& command_line) {
    Events found;
    for (const auto& event : children.log) {
        if (event.command_line.starts_with(command_line)) found.push_back(event.what);
    }
    return found;
}

TEST(ChildStartRetry, TheDatabaseServer) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        RefusingChildProcesses children(kDatabaseServer, c.codes);
        // The stop comes once the server runs: a stop during the pauses would
        // end the retrying.
        const auto run_state = service::RunState::create(service::ServiceState::Running);
        children.after_start = [&] { run_state->write(service::ServiceState::StopPending); };

        servers::run_database({kRoot, run_state}, children);

        EXPECT_EQ(children.attempts, c.attempts);
        EXPECT_EQ(children.pauses, c.pauses);
        // A server that started is looked at and reaped at the stop; one given
        // up is left alone.
        EXPECT_EQ(events_of(children, kDatabaseServer),
                  c.started ? (Events{"started", "looked at", "waited for"}) : Events{});
        EXPECT_EQ(run_state.use_count(), 1);
    }
}

// A stop written while a server's start waits out its first pause: no further
// attempt, and the unit ends at once with nothing to stop, neither a server
// nor a stop helper started.
TEST(ChildStartRetry, AStopDuringAPauseEndsTheRetryingOfAServer) {
    const struct {
        const char* name;
        Unit unit;
        const wchar_t* server;
    } units[] = {{"database", servers::run_database, kDatabaseServer},
                 {"web server", servers::run_web_server, kWebServer}};
    for (const auto& u : units) {
        SCOPED_TRACE(u.name);
        RefusingChildProcesses children(u.server, {1359, 1359});
        const auto run_state = service::RunState::create(service::ServiceState::Running);
        children.during_pause = [&] { run_state->write(service::ServiceState::StopPending); };

        u.unit({kRoot, run_state}, children);

        EXPECT_EQ(children.attempts, 1);
        EXPECT_EQ(children.pauses, (std::vector<int>{50}));
        EXPECT_TRUE(children.log.empty()) << "nothing started";
        EXPECT_EQ(run_state.use_count(), 1);
    }
}

TEST(ChildStartRetry, TheWebServersFirstStopHelper) {
    ScratchDir scratch;
    const std::wstring pid_file = scratch / L"httpd.pid";
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        write_file(pid_file, "1234\r\n");
        RefusingChildProcesses children(kEndHttpd, c.codes);

        servers::stop_web_server(pid_file, kSystemFolder, children);

        EXPECT_EQ(children.attempts, c.attempts);
        EXPECT_EQ(children.pauses, c.pauses);
        EXPECT_EQ(events_of(children, kEndHttpd),
                  c.started ? (Events{"started", "waited for"}) : Events{});
        // The pid file goes only after a helper that ran; PHP is ended anyway.
        EXPECT_EQ(file_exists(pid_file), !c.started);
        EXPECT_EQ(events_of(children, kEndPhp), (Events{"started", "waited for"}));
    }
}

TEST(ChildStartRetry, TheDatabasesStopProgram) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        RefusingChildProcesses children(kAdminClient, c.codes);

        const auto message = fatal_message([&] { servers::stop_database(kRoot, children); });

        EXPECT_EQ(children.attempts, c.attempts);
        EXPECT_EQ(children.pauses, c.pauses);
        if (c.started) {
            EXPECT_FALSE(message.has_value()) << platform::to_utf8(*message);
            EXPECT_EQ(events_of(children, kAdminClient), (Events{"started", "waited for"}));
        } else {
            // Given up as before: the service ends, naming the last refusal.
            ASSERT_TRUE(message.has_value());
            EXPECT_NE(message->find(last_error_text(c)), std::wstring::npos)
                << platform::to_utf8(*message);
            EXPECT_TRUE(children.log.empty());
        }
    }
}

}  // namespace
}  // namespace rivelo::test
