// A database that takes longer to shut down than the service control manager
// waits for a control to be answered (30 s on Windows, 10 s in Wine). The
// whole stop runs inside the control handler, so the client that sent the
// stop is answered with a time-out while the stop goes on. What must hold
// all the same: the service reports STOP_PENDING until the database has
// exited by itself, refuses a second stop meanwhile, and then reports
// STOPPED and ends with exit status 0.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/service_manager.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Longer than any manager waits for a control's answer.
constexpr auto kDatabaseShutdownTime = 40s;
constexpr auto kStateTimeout = 30s;
constexpr auto kRecordTimeout = 30s;
// Bound for the whole stop: the database's shutdown and a loaded machine.
constexpr auto kStopBound = kDatabaseShutdownTime + 120s;
constexpr auto kSampleInterval = 100ms;
// System times are in 100 ns ticks; two processes' readings of them may
// differ by a little.
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr auto kClockGrain = 1s;
constexpr std::uint32_t kRequestTimeout = ERROR_SERVICE_REQUEST_TIMEOUT;          // 1053
constexpr std::uint32_t kCannotAcceptControl = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;  // 1061
constexpr wchar_t kServiceName[] = L"RiveloLongStop";

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// What a client got for its stop request.
struct StopAnswer {
    bool accepted = false;
    std::uint32_t error = 0;  // when refused
    double seconds = 0;       // from the request to the answer
};

// Sends the stop with a service handle of its own, as another client would.
StopAnswer send_stop(const std::wstring& name) {
    std::optional<ManagedService> client = ManagedService::open(name);
    if (!client) return {false, static_cast<std::uint32_t>(GetLastError()), 0};
    const auto sent = Clock::now();
    StopAnswer answer;
    answer.accepted = client->control(SERVICE_CONTROL_STOP);
    answer.error = answer.accepted ? 0 : static_cast<std::uint32_t>(GetLastError());
    answer.seconds = std::chrono::duration<double>(Clock::now() - sent).count();
    return answer;
}

std::string describe(const StopAnswer& answer) {
    return answer.accepted ? "accepted after " + std::to_string(answer.seconds) + " s"
                           : "refused with " + std::to_string(answer.error) + " after " +
                                 std::to_string(answer.seconds) + " s";
}

// When the process exited, in the system time's 100 ns units; 0 while it runs.
std::uint64_t exit_time(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<std::uint64_t>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime;
}

bool still_running(const platform::UniqueHandle& process) {
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

TEST(LongDatabaseStop, TheStopOutlastsTheClientsWaitAndStillEndsCleanly) {
    SampleRoot root;
    root.set_database_shutdown_time(kDatabaseShutdownTime);
    ManagedService service(kServiceName,
                           quoted(root.service_program()) + L" start -w " + quoted(root.path()));
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(service.wait_for(ScmState::Running, kStateTimeout));
    const platform::UniqueHandle service_process = open_process(service.query().process_id);
    ASSERT_TRUE(service_process.valid());
    const auto mysqld = root.wait_for_records(root.mysqld(), 1, kRecordTimeout);
    ASSERT_EQ(mysqld.size(), 1u);
    ASSERT_EQ(root.wait_for_records(root.php_cgi(), 2, kRecordTimeout).size(), 2u);
    const platform::UniqueHandle database = open_process(mysqld[0].pid);
    ASSERT_TRUE(database.valid());

    // The client's call returns only when the manager gives up waiting.
    std::future<StopAnswer> first =
        std::async(std::launch::async, [] { return send_stop(kServiceName); });
    ASSERT_TRUE(service.wait_for(ScmState::StopPending, kStateTimeout));
    // A second stop while the first one is still being handled.
    const StopAnswer second = send_stop(kServiceName);

    // Every state from here until the service process has ended, and the
    // state seen while the database still ran.
    std::vector<std::uint32_t> states_while_database_ran;
    std::vector<std::uint32_t> states;
    std::optional<StopAnswer> first_answer;
    bool database_ran_at_first_answer = false;
    const auto deadline = Clock::now() + kStopBound;
    while (still_running(service_process) && Clock::now() < deadline) {
        // Each look comes before the check of the database: a database that
        // runs after it ran during it.
        const std::uint32_t state = service.query().state;
        const bool answered = !first_answer && first.wait_for(0s) == std::future_status::ready;
        const bool database_runs = still_running(database);
        if (database_runs) states_while_database_ran.push_back(state);
        if (states.empty() || states.back() != state) states.push_back(state);
        if (answered) {
            first_answer = first.get();
            database_ran_at_first_answer = database_runs;
        }
        std::this_thread::sleep_for(kSampleInterval);
    }
    ASSERT_FALSE(still_running(service_process)) << "the stop did not end";
    if (!first_answer) first_answer = first.get();
    states.push_back(service.query().state);

    std::printf("long stop: first stop request %s; second %s; service states seen:",
                describe(*first_answer).c_str(), describe(second).c_str());
    for (const std::uint32_t state : states) std::printf(" %s", state_name(state));
    std::printf("\n");
    RecordProperty("first_stop", describe(*first_answer));
    RecordProperty("second_stop", describe(second));

    // The manager gave up on the first client while the stop went on.
    EXPECT_FALSE(first_answer->accepted);
    EXPECT_EQ(first_answer->error, kRequestTimeout);
    EXPECT_TRUE(database_ran_at_first_answer) << "answered only after the database had exited";
    // A stop already under way refuses another.
    EXPECT_FALSE(second.accepted);
    EXPECT_EQ(second.error, kCannotAcceptControl);

    // STOP_PENDING without a break while the database shut down, then STOPPED.
    ASSERT_FALSE(states_while_database_ran.empty());
    for (const std::uint32_t state : states_while_database_ran) {
        EXPECT_EQ(state, static_cast<std::uint32_t>(ScmState::StopPending)) << state_name(state);
    }
    EXPECT_EQ(states.back(), static_cast<std::uint32_t>(ScmState::Stopped));
    EXPECT_EQ(service.query().win32_exit_code, 0u);
    EXPECT_EQ(wait_for_process(service_process.get(), 0ms), std::optional<std::uint32_t>(0));

    // The database shut down by itself: one request, answered once it had
    // exited, and it ran its whole shutdown time after that request.
    const auto admin = read_start_records(root.mysqladmin());
    ASSERT_EQ(admin.size(), 1u);
    EXPECT_EQ(wait_for_process(database.get(), 0ms), std::optional<std::uint32_t>(0));
    const std::uint64_t shut_down_for = exit_time(database.get()) - admin[0].started;
    EXPECT_GE(shut_down_for, (kDatabaseShutdownTime - kClockGrain).count() * kTicksPerSecond)
        << "the database exited before its shutdown could have finished";
}

}  // namespace
}  // namespace rivelo::test
