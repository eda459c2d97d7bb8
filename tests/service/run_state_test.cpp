// The run state: what the handler writes is what every task reads, only
// StopPending ends a wait for the stop, and the record lives as long as its
// last holder.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "service/run_state.h"
#include "service/worker_pool.h"
#include "support/background_call.h"

namespace rivelo::test {
namespace {

using service::RunState;
using service::RunStateRef;
using service::ServiceState;

constexpr std::array kAllStates = {
    ServiceState::ContinuePending, ServiceState::Paused,       ServiceState::PausePending,
    ServiceState::Running,         ServiceState::StartPending, ServiceState::Stopped,
    ServiceState::StopPending,
};

constexpr std::array kStatesThatKeepTasksRunning = {
    ServiceState::Stopped,      ServiceState::StartPending, ServiceState::Running,
    ServiceState::PausePending, ServiceState::Paused,       ServiceState::ContinuePending,
};

constexpr int kTasks = 3;

TEST(RunState, ReadGivesTheInitialValueThenTheLastOneWritten) {
    EXPECT_EQ(RunState::create(ServiceState::Stopped)->read(), ServiceState::Stopped);
    const RunStateRef run_state = RunState::create(ServiceState::Stopped);
    for (const ServiceState state : kAllStates) {
        run_state->write(state);
        EXPECT_EQ(run_state->read(), state) << static_cast<int>(state);
    }
}

// Each waiter reads the value on its own thread as soon as it wakes.
TEST(RunState, OnlyStopPendingWakesTheWaitersAndEveryOneThenReadsIt) {
    const RunStateRef run_state = RunState::create(ServiceState::Stopped);
    std::array<std::atomic<ServiceState>, kTasks> seen{};
    std::vector<std::unique_ptr<BackgroundCall>> waiters;
    for (auto& read_after_wake : seen) {
        waiters.push_back(std::make_unique<BackgroundCall>([run_state, &read_after_wake] {
            run_state->wait_for_stop();
            read_after_wake = run_state->read();
        }));
    }

    for (const ServiceState state : kStatesThatKeepTasksRunning) {
        run_state->write(state);
        for (const auto& waiter : waiters) {
            EXPECT_FALSE(waiter->returns_within(kStillBlocking / kTasks))
                << "a wait for the stop ended on state " << static_cast<int>(state);
        }
    }

    run_state->write(ServiceState::StopPending);
    for (const auto& waiter : waiters) waiter->finish("a waiter to wake on StopPending");
    for (const auto& read_after_wake : seen) EXPECT_EQ(read_after_wake, ServiceState::StopPending);

    BackgroundCall([run_state] {
        run_state->wait_for_stop();
    }).finish("a wait that begins after the stop");
}

// The old way of waiting: tasks that re-read without pause must not keep the
// writer out.
TEST(RunState, AWriteGetsInBetweenReadersPollingWithoutPause) {
    const RunStateRef run_state = RunState::create(ServiceState::Running);
    std::vector<std::unique_ptr<BackgroundCall>> pollers;
    for (int task = 0; task < kTasks; ++task) {
        pollers.push_back(std::make_unique<BackgroundCall>([run_state] {
            while (run_state->read() != ServiceState::StopPending) {
            }
        }));
    }
    BackgroundCall([run_state] {
        run_state->write(ServiceState::StartPending);
        run_state->write(ServiceState::StopPending);
    }).finish("the writes while readers poll");
    for (const auto& poller : pollers) poller->finish("a poller to see StopPending");
}

// The handler may let go of its reference while a task still holds one.
TEST(RunState, TheRecordLivesUntilTheLastHolderLetsGo) {
    RunStateRef handler_reference = RunState::create(ServiceState::Stopped);
    const std::weak_ptr<RunState> record = handler_reference;
    const RunStateRef release_task = RunState::create(ServiceState::Running);
    std::atomic<ServiceState> read_by_task{ServiceState::Stopped};

    auto pool = service::WorkerPool::create();
    pool.set_thread_range(2, 3);
    handler_reference->write(ServiceState::StartPending);
    pool.submit([task_reference = handler_reference, release_task, &read_by_task] {
        release_task->wait_for_stop();
        read_by_task = task_reference->read();
    });

    handler_reference.reset();
    EXPECT_FALSE(record.expired()) << "the task's reference did not keep the record";
    release_task->write(ServiceState::StopPending);
    BackgroundCall([&pool] { pool.join(); }).finish("the task to end");
    EXPECT_EQ(read_by_task, ServiceState::StartPending);
    EXPECT_TRUE(record.expired()) << "the last reference did not destroy the record";
}

}  // namespace
}  // namespace rivelo::test
