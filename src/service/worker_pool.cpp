#include "service/worker_pool.h"

#include <memory>
#include <utility>

#include "platform/failure.h"

namespace rivelo::service {

namespace {

constexpr wchar_t kAllocationFailed[] = L"allocation failed";
constexpr wchar_t kPoolClosed[] = L"a task was submitted to a closed worker pool";

// The pool's callback: owns the task record from here on and destroys it,
// with everything the task captured, as soon as the task has returned.
void RIVELO_WINAPI run_task(_TP_CALLBACK_INSTANCE* /*instance*/, void* context) noexcept {
    platform::guard_entry_point([context] {
        const std::unique_ptr<WorkerPool::Task> task(static_cast<WorkerPool::Task*>(context));
        (*task)();
    });
}

}  // namespace

WorkerPool::WorkerPool(platform::UniqueThreadPool pool, platform::UniqueCleanupGroup group,
                       platform::CallbackEnvironment environment) noexcept
    : environment_(std::move(environment)), pool_(std::move(pool)), group_(std::move(group)) {}

WorkerPool WorkerPool::create() {
    platform::UniqueThreadPool pool = platform::create_thread_pool();
    if (!pool) throw platform::FatalError(kAllocationFailed);
    platform::UniqueCleanupGroup group = platform::create_cleanup_group();
    if (!group) throw platform::FatalError(kAllocationFailed);
    platform::CallbackEnvironment environment = platform::make_callback_environment(pool, group);
    return WorkerPool(std::move(pool), std::move(group), std::move(environment));
}

void WorkerPool::set_thread_range(std::uint32_t minimum, std::uint32_t maximum) {
    if (!platform::set_thread_minimum(pool_, minimum))
        throw platform::FatalError(kAllocationFailed);
    platform::set_thread_maximum(pool_, maximum);
}

void WorkerPool::submit(Task task) {
    if (!environment_) throw platform::FatalError(kPoolClosed);
    auto record = std::make_unique<Task>(std::move(task));
    if (!platform::try_submit_callback(run_task, record.get(), environment_)) {
        throw platform::FatalError(kAllocationFailed);
    }
    static_cast<void>(record.release());  // run_task owns it now
}

void WorkerPool::join() {
    if (group_) platform::wait_for_cleanup_group_members(group_);
}

void WorkerPool::close() noexcept {
    // The group waits for its callbacks before it closes; the environment
    // they were submitted with goes last.
    group_.reset();
    pool_.reset();
    environment_.reset();
}

}  // namespace rivelo::service
