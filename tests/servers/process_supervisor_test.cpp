// The supervisor against a scripted child-process layer (what it asks of the
// child and when it calls the stop action), then for real with a server that
// runs until told to stop.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "servers/process_supervisor.h"
#include "service/run_state.h"
#include "support/background_call.h"
#include "support/handle_watch.h"
#include "support/patience.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace rivelo::test {
namespace {

using platform::ChildProcess;
using platform::ExitPoll;
using platform::Result;
using platform::UniqueHandle;
using service::RunState;
using service::RunStateRef;
using service::ServiceState;

constexpr wchar_t kProgram[] = L"C:\\root\\server\\server.exe";
constexpr wchar_t kArgument[] = L"--one  --two";

constexpr std::array kStatesThatKeepTheServerRunning = {
    ServiceState::Stopped,      ServiceState::StartPending, ServiceState::Running,
    ServiceState::PausePending, ServiceState::Paused,       ServiceState::ContinuePending,
};

const Result<ExitPoll> kRunning = ExitPoll{false, 0};
const Result<ExitPoll> kExited = ExitPoll{true, 3};
const Result<ExitPoll> kPollFailed = platform::win32_error(ERROR_ACCESS_DENIED);

// Answers the supervisor's calls from a script and logs them, together with
// the stop action's calls, in order: "start", "pause <ms>", "poll <ms>",
// "stop", "reap".
// A started child holds two real event handles, watched so that the test can
// see them closed.
class ScriptedChildProcesses final : public servers::ChildProcesses {
public:
    std::deque<std::error_code> start_failures;  // once used up: started
    std::deque<Result<ExitPoll>> polls;          // once used up: exited
    Result<std::uint32_t> reap = 0u;
    std::function<void()> on_pause = [] {};

    Result<ChildProcess> start_child(const std::wstring& program,
                                     const std::optional<std::wstring>& argument) override {
        log("start");
        std::lock_guard lock(mutex_);
        program_ = program;
        argument_ = argument;
        if (!start_failures.empty()) {
            const std::error_code failure = start_failures.front();
            start_failures.pop_front();
            return failure;
        }
        ChildProcess child{UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
                           UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr))};
        process_ = child.process.get();
        process_watch_.emplace(child.process.get());
        thread_watch_.emplace(child.thread.get());
        return child;
    }

    Result<ExitPoll> wait_exit_for(const ChildProcess& child,
                                   std::chrono::milliseconds timeout) override {
        log("poll " + std::to_string(timeout.count()));
        std::lock_guard lock(mutex_);
        EXPECT_EQ(child.process.get(), process_);
        if (polls.empty()) return kExited;
        const Result<ExitPoll> answer = polls.front();
        polls.pop_front();
        return answer;
    }

    Result<std::uint32_t> wait_exit(const ChildProcess& child) override {
        log("reap");
        std::lock_guard lock(mutex_);
        EXPECT_EQ(child.process.get(), process_);
        handles_open_at_reap_ = process_watch_->others() == 1 && thread_watch_->others() == 1;
        return reap;
    }

    void pause_before_retry(std::chrono::milliseconds pause) override {
        log("pause " + std::to_string(pause.count()));
        on_pause();
    }

    void log(const std::string& call) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(call);
        }
        changed_.notify_all();
    }

    [[nodiscard]] std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    [[nodiscard]] bool wait_for_calls(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return calls_.size() >= count; });
    }

    void expect_started_with(const std::wstring& program,
                             const std::optional<std::wstring>& argument) {
        std::lock_guard lock(mutex_);
        EXPECT_EQ(program_, program);
        EXPECT_EQ(argument_, argument);
    }

    void expect_reaped_then_closed() {
        std::lock_guard lock(mutex_);
        EXPECT_TRUE(handles_open_at_reap_)
            << "the child's handles were closed before it was reaped";
        ASSERT_TRUE(process_watch_ && thread_watch_);
        EXPECT_EQ(process_watch_->others(), 0) << "process handle left open";
        EXPECT_EQ(thread_watch_->others(), 0) << "thread handle left open";
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::wstring program_;
    std::optional<std::wstring> argument_;
    void* process_ = nullptr;
    std::optional<HandleWatch> process_watch_;
    std::optional<HandleWatch> thread_watch_;
    bool handles_open_at_reap_ = false;
};

const std::string kGrace = "poll " + std::to_string(servers::kStopGrace.count());

// The stop already requested when the server has started: the stop loop runs
// at once, asking the server to stop only while it has not exited, with the
// grace between requests.
TEST(ProcessSupervisor, AsksTheServerToStopOnlyWhileItRuns) {
    struct Case {
        const char* name;
        std::deque<Result<ExitPoll>> polls;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"already exited", {kExited}, {"start", "poll 0", "reap"}},
        {"the first look fails", {kPollFailed}, {"start", "poll 0", "reap"}},
        {"exits after one request",
         {kRunning, kExited},
         {"start", "poll 0", "stop", kGrace, "reap"}},
        {"keeps running through three requests",
         {kRunning, kRunning, kRunning, kExited},
         {"start", "poll 0", "stop", kGrace, "stop", kGrace, "stop", kGrace, "reap"}},
        {"a look after a request fails",
         {kRunning, kPollFailed},
         {"start", "poll 0", "stop", kGrace, "reap"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedChildProcesses children;
        children.polls = c.polls;
        const RunStateRef run_state = RunState::create(ServiceState::StopPending);
        BackgroundCall([&] {
            servers::supervise(
                kProgram, kArgument, [&] { children.log("stop"); }, run_state, children);
        }).finish("supervise to return");
        EXPECT_EQ(children.calls(), c.calls);
        children.expect_started_with(kProgram, kArgument);
        children.expect_reaped_then_closed();
        EXPECT_EQ(run_state.use_count(), 1) << "the supervisor kept its run-state reference";
    }
}

TEST(ProcessSupervisor, AServerThatCannotStartIsGivenUpWithoutWaitingForTheStop) {
    ScriptedChildProcesses children;
    children.start_failures = {platform::win32_error(ERROR_FILE_NOT_FOUND)};
    const RunStateRef run_state = RunState::create(ServiceState::Running);
    BackgroundCall([&] {
        servers::supervise(
            kProgram, std::nullopt, [&] { children.log("stop"); }, run_state, children);
    }).finish("supervise to give up the server");
    EXPECT_EQ(children.calls(), std::vector<std::string>{"start"});
    children.expect_started_with(kProgram, std::nullopt);
    EXPECT_EQ(run_state.use_count(), 1);
}

// The stop comes while the server's start waits out a retry's pause: no
// further attempt is made, and the supervisor returns as for a start that
// failed, with no server and so nothing to stop.
TEST(ProcessSupervisor, AStopDuringARetryPauseEndsTheRetrying) {
    ScriptedChildProcesses children;
    children.start_failures = {platform::win32_error(ERROR_INTERNAL_ERROR),
                               platform::win32_error(ERROR_NOT_ENOUGH_MEMORY)};
    children.polls = {kRunning, kExited};
    const RunStateRef run_state = RunState::create(ServiceState::Running);
    children.on_pause = [&] { run_state->write(ServiceState::StopPending); };
    BackgroundCall([&] {
        servers::supervise(kProgram, kArgument, [&] { children.log("stop"); }, run_state, children);
    }).finish("supervise after a stop during the start");
    EXPECT_EQ(children.calls(), (std::vector<std::string>{"start", "pause 50"}));
    EXPECT_EQ(run_state.use_count(), 1);
}

TEST(ProcessSupervisor, EveryStateButStopPendingKeepsTheServerRunningUntouched) {
    ScriptedChildProcesses children;
    children.polls = {kRunning, kExited};
    const RunStateRef run_state = RunState::create(ServiceState::Stopped);
    BackgroundCall supervision([&] {
        servers::supervise(
            kProgram, std::nullopt, [&] { children.log("stop"); }, run_state, children);
    });
    ASSERT_TRUE(children.wait_for_calls(1));

    for (const ServiceState state : kStatesThatKeepTheServerRunning) {
        run_state->write(state);
        EXPECT_FALSE(supervision.returns_within(kStillBlocking / 2))
            << "returned on state " << static_cast<int>(state);
    }
    EXPECT_EQ(children.calls(), std::vector<std::string>{"start"})
        << "the child was looked at before the stop";

    run_state->write(ServiceState::StopPending);
    supervision.finish("supervise after the stop");
    EXPECT_EQ(children.calls(),
              (std::vector<std::string>{"start", "poll 0", "stop", kGrace, "reap"}));
    children.expect_reaped_then_closed();
}

TEST(ProcessSupervisor, AFailedFinalWaitIsFatalAndNamesTheError) {
    ScriptedChildProcesses children;
    const std::error_code failure = platform::win32_error(ERROR_ACCESS_DENIED);
    children.reap = failure;
    const RunStateRef run_state = RunState::create(ServiceState::StopPending);
    try {
        servers::supervise(kProgram, std::nullopt, [] {}, run_state, children);
        ADD_FAILURE() << "supervise returned";
    } catch (const platform::FatalError& error) {
        EXPECT_NE(error.message().find(kProgram), std::wstring::npos);
        EXPECT_NE(error.message().find(platform::describe(failure)), std::wstring::npos)
            << platform::to_utf8(error.message());
    }
}

// On a pool thread, as in the service, that failure ends the process at once
// although another task of the pool never ends.
TEST(ProcessSupervisor, AFailedFinalWaitInAPoolTaskEndsTheProcessAtOnce) {
    const std::wstring program = built_program(L"pool_task_failure.exe");
    ProgramOptions options;
    options.command_line = command_line_for(program, {L"supervise"});
    options.timeout = kPatience;
    const ProgramRun run = run_program(program, options);
    EXPECT_EQ(run.exit_code, platform::kFailFastExitStatus);
    const std::string expected =
        platform::to_utf8(platform::describe(platform::win32_error(ERROR_INVALID_HANDLE)));
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
}

// A real server: wait_for_event, told to stop through a named event.
class RealServer : public ::testing::Test {
protected:
    RealServer() { copy_file(built_program(L"wait_for_event.exe"), program); }

    ScratchDir scratch;
    const std::wstring program = scratch / L"server dir\\wait_for_event.exe";
    const std::wstring name = L"rivelo-server-" + std::to_wstring(GetCurrentProcessId());
    const UniqueHandle stop_event{CreateEventW(nullptr, TRUE, FALSE, name.c_str())};
    const UniqueHandle started_event{
        CreateEventW(nullptr, TRUE, FALSE, (name + L".started").c_str())};
    const RunStateRef run_state = RunState::create(ServiceState::Stopped);
};

// The server ignores the first two requests: the supervisor asks again while
// it runs, stops asking once it has exited, and returns only then.
TEST_F(RealServer, RunsTheServerUntilTheStopThenAsksUntilItHasExited) {
    std::atomic<int> requests{0};
    BackgroundCall supervision([&] {
        servers::supervise(
            program, name,
            [&] {
                if (++requests == 3) SetEvent(stop_event.get());
            },
            run_state);
    });
    ASSERT_EQ(WaitForSingleObject(started_event.get(), 10000), WAIT_OBJECT_0)
        << "the server did not start";

    run_state->write(ServiceState::Running);
    EXPECT_FALSE(supervision.returns_within(kStillBlocking));
    EXPECT_EQ(requests, 0);

    run_state->write(ServiceState::StopPending);
    supervision.finish("supervise after the stop");
    EXPECT_EQ(requests, 3);
    EXPECT_EQ(run_state.use_count(), 1);
}

TEST_F(RealServer, AMissingProgramIsGivenUpAtOnce) {
    std::atomic<int> requests{0};
    run_state->write(ServiceState::Running);
    BackgroundCall([&] {
        servers::supervise(scratch / L"missing.exe", name, [&] { ++requests; }, run_state);
    }).finish("supervise to give up a missing program");
    EXPECT_EQ(requests, 0);
    EXPECT_EQ(run_state.use_count(), 1);
}

}  // namespace
}  // namespace rivelo::test
