#pragma once

#include <cstdint>
#include <functional>

#include "platform/thread_pool.h"

namespace rivelo::service {

// The system thread pool that runs the service's long-lived tasks, with a
// cleanup group through which the command handler waits for all of them.
class WorkerPool {
public:
    using Task = std::function<void()>;

    // A pool with no thread range set; a refusal by the system is a
    // FatalError.
    static WorkerPool create();

    WorkerPool(WorkerPool&&) noexcept = default;
    WorkerPool& operator=(WorkerPool&&) = delete;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { close(); }

    // Sets the minimum number of threads, then the maximum.
    void set_thread_range(std::uint32_t minimum, std::uint32_t maximum);

    // Queues the task and returns without waiting for it to start. The task
    // runs once on a pool thread; what it captured is destroyed when it
    // returns. A task that fails ends the process at once. A refusal by the
    // system, or a closed pool, is a FatalError.
    void submit(Task task);

    // Returns when every task submitted so far has returned; queued tasks are
    // run, never cancelled. Never call it from a task of this pool.
    void join();

    // Waits as join does, then destroys the pool. Later calls do nothing.
    void close() noexcept;

private:
    WorkerPool(platform::UniqueThreadPool pool, platform::UniqueCleanupGroup group,
               platform::CallbackEnvironment environment) noexcept;

    // Destroyed from the last member up: the group (after its callbacks have
    // returned), then the pool, then the environment they were submitted with.
    platform::CallbackEnvironment environment_;
    platform::UniqueThreadPool pool_;
    platform::UniqueCleanupGroup group_;
};

}  // namespace rivelo::service
