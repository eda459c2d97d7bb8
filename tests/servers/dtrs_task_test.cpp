// The dtrs task ends once the run state holds StopPending, and only then,
// whatever value it holds.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform/text.h"
#include "servers/dtrs_task.h"
#include "service/run_state.h"

namespace rivelo::test {
namespace {

using service::RunState;
using service::ServiceState;

// How long a task that should go on is watched after each write.
constexpr std::chrono::milliseconds kStillRunningWindow{100};
// A bound for a task that should end.
constexpr std::chrono::milliseconds kEndTimeout{10000};

// Runs the task on a thread of its own, as on a pool thread. A task that has
// not ended when the test is over is left behind rather than waited for.
class TaskThread {
public:
    explicit TaskThread(servers::DtrsTask task) {
        ended_ = done_.get_future();
        thread_ = std::thread([task = std::move(task), done = std::move(done_)]() mutable {
            task();
            done.set_value();
        });
    }
    ~TaskThread() {
        if (ends_within(std::chrono::milliseconds::zero())) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }
    TaskThread(const TaskThread&) = delete;
    TaskThread& operator=(const TaskThread&) = delete;

    [[nodiscard]] bool ends_within(std::chrono::milliseconds timeout) const {
        return ended_.wait_for(timeout) == std::future_status::ready;
    }

private:
    std::promise<void> done_;
    std::future<void> ended_;
    std::thread thread_;
};

// Values that the command line accepts for "--dtrs".
const std::wstring kValues[] = {L"7", L" -x", L"\x65E5\x672C", std::wstring(1000, L'v')};

TEST(DtrsTask, KeepsRunningThroughEveryOtherStateAndEndsOnStopPending) {
    const ServiceState others[] = {ServiceState::Running, ServiceState::PausePending,
                                   ServiceState::Paused,  ServiceState::ContinuePending,
                                   ServiceState::Stopped, ServiceState::StartPending};
    for (const std::wstring& value : kValues) {
        SCOPED_TRACE(platform::to_utf8(value.substr(0, 8)));
        const auto state = RunState::create(ServiceState::StartPending);
        TaskThread task(servers::DtrsTask(L"C:\\kvr", value, state));

        for (const ServiceState other : others) {
            state->write(other);
            EXPECT_FALSE(task.ends_within(kStillRunningWindow))
                << "ended on state " << static_cast<int>(other);
        }
        state->write(ServiceState::StopPending);
        EXPECT_TRUE(task.ends_within(kEndTimeout));
    }
}

TEST(DtrsTask, EndsAtOnceWhenTheStopCameFirst) {
    const auto state = RunState::create(ServiceState::StopPending);
    TaskThread task(servers::DtrsTask(L"C:\\kvr", L"7", state));
    EXPECT_TRUE(task.ends_within(kEndTimeout));
}

}  // namespace
}  // namespace rivelo::test
