// The worker pool on the system thread pool: tasks that wait for the stop run
// side by side, join waits for every task without cancelling any, what a task
// captured goes when it returns, and a failing task ends the process at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/failure.h"
#include "service/run_state.h"
#include "service/worker_pool.h"
#include "support/background_call.h"
#include "support/patience.h"
#include "support/run_program.h"

namespace rivelo::test {
namespace {

using service::RunState;
using service::RunStateRef;
using service::ServiceState;
using service::WorkerPool;

// The range the service sets.
constexpr std::uint32_t kMinimumThreads = 2;
constexpr std::uint32_t kMaximumThreads = 3;

// Counts events from pool threads; the test waits, bounded, for a count.
class Tally {
public:
    void add() {
        {
            std::lock_guard lock(mutex_);
            ++count_;
        }
        changed_.notify_all();
    }
    [[nodiscard]] bool reaches(int count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
    }
    [[nodiscard]] int value() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

// A pool with the service's range and tasks that, like the server tasks, wait
// for the stop. Whatever a case leaves running is stopped and the pool closed
// (bounded) before the next case.
class WorkerPoolTest : public ::testing::Test {
protected:
    WorkerPoolTest() { pool.set_thread_range(kMinimumThreads, kMaximumThreads); }

    ~WorkerPoolTest() override {
        run_state->write(ServiceState::StopPending);
        BackgroundCall([this] { pool.close(); }).finish("the pool to close after the case");
    }

    void submit_waiting_task() {
        pool.submit([state = run_state, this] {
            started.add();
            state->wait_for_stop();
            ended.add();
        });
    }

    RunStateRef run_state = RunState::create(ServiceState::Running);
    Tally started;
    Tally ended;
    WorkerPool pool = WorkerPool::create();
};

TEST_F(WorkerPoolTest, TasksWaitingForTheStopRunSideBySideAndJoinWaitsForAllOfThem) {
    for (int task = 0; task < 3; ++task) submit_waiting_task();
    ASSERT_TRUE(started.reaches(3, kPatience)) << "three tasks did not run at the same time";

    BackgroundCall join([this] { pool.join(); });
    EXPECT_FALSE(join.returns_within(kStillBlocking)) << "join returned while tasks were running";
    EXPECT_EQ(ended.value(), 0);

    run_state->write(ServiceState::StopPending);
    join.finish("join after the stop");
    EXPECT_EQ(ended.value(), 3);
}

TEST_F(WorkerPoolTest, JoinRunsATaskStillQueuedInsteadOfCancellingIt) {
    for (int task = 0; task < 3; ++task) submit_waiting_task();
    const auto fourth_ran = std::make_shared<Tally>();  // may outlive a failed case
    pool.submit([fourth_ran] { fourth_ran->add(); });
    ASSERT_TRUE(started.reaches(3, kPatience));
    EXPECT_FALSE(fourth_ran->reaches(1, kStillBlocking))
        << "a fourth task ran while three held every thread of the pool";

    // The fourth task is still queued when join begins.
    BackgroundCall join([this] { pool.join(); });
    EXPECT_FALSE(join.returns_within(kStillBlocking));
    run_state->write(ServiceState::StopPending);
    join.finish("join after the stop");
    EXPECT_EQ(fourth_ran->value(), 1);
    EXPECT_EQ(ended.value(), 3);
}

TEST_F(WorkerPoolTest, JoinAndCloseWithNothingOutstandingReturnAtOnce) {
    BackgroundCall([this] { pool.join(); }).finish("join of a pool that never ran a task");

    std::atomic<bool> ran{false};
    pool.submit([&] { ran = true; });
    BackgroundCall([this] { pool.join(); }).finish("join of a short task");
    EXPECT_TRUE(ran);
    BackgroundCall([this] {
        pool.join();
        pool.close();
        pool.close();
    }).finish("a second join, then close");
}

TEST_F(WorkerPoolTest, TheTaskAndWhatItCapturedAreDestroyedWhenItReturns) {
    const auto captured = std::make_shared<int>(0);
    pool.submit([captured, state = run_state, this] {
        started.add();
        state->wait_for_stop();
    });
    ASSERT_TRUE(started.reaches(1, kPatience));
    EXPECT_EQ(captured.use_count(), 2) << "the running task holds its copy";

    run_state->write(ServiceState::StopPending);
    pool.join();
    EXPECT_EQ(captured.use_count(), 1) << "the task record outlived the task";
}

TEST_F(WorkerPoolTest, ATaskCannotBeSubmittedToAClosedPool) {
    pool.close();
    bool ran = false;
    EXPECT_THROW(pool.submit([&] { ran = true; }), platform::FatalError);
    EXPECT_FALSE(ran);
}

// A moved pool keeps its running tasks; the object it was moved from owns
// nothing, so destroying it waits for nothing. Destroying the pool that owns
// them closes it, which waits for the task.
TEST(WorkerPool, MovingHandsOverThePoolAndDestroyingItWaitsForItsTasks) {
    const auto run_state = RunState::create(ServiceState::Running);
    std::atomic<bool> ended{false};
    auto original = std::make_optional(WorkerPool::create());
    original->set_thread_range(kMinimumThreads, kMaximumThreads);
    original->submit([run_state, &ended] {
        run_state->wait_for_stop();
        ended = true;
    });

    auto moved = std::make_optional(std::move(*original));
    BackgroundCall([&] { original.reset(); }).finish("destroying a moved-from pool");

    BackgroundCall destroy([&] { moved.reset(); });
    EXPECT_FALSE(destroy.returns_within(kStillBlocking)) << "the pool was destroyed under its task";
    EXPECT_FALSE(ended);
    run_state->write(ServiceState::StopPending);
    destroy.finish("destroying the pool after the stop");
    EXPECT_TRUE(ended);
}

// The failing task shares its pool with a task that never ends, so only an
// immediate end of the process lets the program finish.
TEST(WorkerPool, AFailingTaskEndsTheProcessAtOnce) {
    const std::wstring program = built_program(L"pool_task_failure.exe");
    ProgramOptions options;
    options.command_line = command_line_for(program, {L"task"});
    options.timeout = kPatience;
    const ProgramRun run = run_program(program, options);
    EXPECT_EQ(run.exit_code, platform::kFailFastExitStatus);
    EXPECT_NE(run.err.find("task failed on purpose"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace rivelo::test
