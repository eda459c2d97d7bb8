// The guard that keeps a run of the service dispatcher outside the service
// control manager away from the control pipes of the manager's services.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/no_control_pipe.h"
#include "support/patience.h"
#include "support/run_program.h"
#include "support/running_on_wine.h"
#include "support/service_manager.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

class NoControlPipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!running_on_wine()) {
            GTEST_SKIP() << "skipped on this platform: the guard of runs by hand; here the "
                            "service control manager checks which process connects to a "
                            "service's control pipe, so the guard changes nothing";
        }
    }
};

// The stand-in PHP process never connects to its control pipe: the manager
// waits for it (Wine: 10 s), and meanwhile the pipe is there to be opened
// and the manager's count names it. A run by hand must neither wait for that
// pipe nor take that start over. (The pending service's state cannot be
// read meanwhile: the manager answers this program's calls one at a time.)
TEST_F(NoControlPipeTest, ARunByHandDuringAnotherServicesStartFailsAtOnceAndLeavesThatStart) {
    ManagedService pending(L"RiveloNeverConnects", quoted(built_program(L"php-cgi.exe")));
    const std::optional<std::uint32_t> before = control_pipe_count();
    auto start = std::async(std::launch::async, [&pending] { return pending.start(); });
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (control_pipe_count() == before || !control_pipe_exists(*control_pipe_count())) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "the pending service's control pipe did not appear; count "
            << control_pipe_count().value_or(0) << ", before " << before.value_or(0);
        std::this_thread::sleep_for(10ms);
    }

    const std::wstring program = built_program(L"rivelo_svc.exe");
    ProgramOptions options;
    options.command_line = command_line_for(program, {L"start"});
    const ProgramRun run = run_with_no_control_pipe([&] { return run_program(program, options); });
    EXPECT_EQ(run.exit_code, 101u);
    EXPECT_EQ(run.err, "rivelo_svc: Use service control manager to start service\n");
    EXPECT_FALSE(start.get()) << "the run by hand answered the pending service's start";
    EXPECT_EQ(pending.query().state, static_cast<std::uint32_t>(ScmState::Stopped));
}

// A service started during a run makes that run void: it is made again once,
// and a service started during the repeat too fails the test.
TEST_F(NoControlPipeTest, ARunDuringWhichAServiceStartedIsMadeAgainOnce) {
    struct Case {
        const char* name;
        int runs_with_a_service_start;
        int runs_made;
        bool fails;
    };
    const Case cases[] = {
        {"no service starts", 0, 1, false},
        {"a service starts during the first run", 1, 2, false},
        {"a service starts during the first run and its repeat", 2, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int runs = 0;
        const auto run = [&] {
            ++runs;
            if (runs <= c.runs_with_a_service_start) {
                ManagedService other(L"RiveloOther", quoted(built_program(L"idle_service.exe")));
                EXPECT_TRUE(other.start());
                EXPECT_TRUE(other.wait_for(ScmState::Running, kPatience));
                EXPECT_TRUE(other.stop());
                EXPECT_TRUE(other.wait_for(ScmState::Stopped, kPatience));
            }
            return runs;
        };
        if (c.fails) {
            EXPECT_THROW((void)run_with_no_control_pipe(run), std::runtime_error);
        } else {
            EXPECT_EQ(run_with_no_control_pipe(run), c.runs_made);
        }
        EXPECT_EQ(runs, c.runs_made);
    }
}

}  // namespace
}  // namespace rivelo::test
