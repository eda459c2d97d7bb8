#include "platform/thread_pool.h"

#include <windows.h>

#include <type_traits>

namespace rivelo::platform {

static_assert(std::is_same_v<SimpleCallback, PTP_SIMPLE_CALLBACK>,
              "the callback type must be the system's own");

UniqueThreadPool& UniqueThreadPool::operator=(UniqueThreadPool&& other) noexcept {
    if (this != &other) {
        reset();
        pool_ = other.release();
    }
    return *this;
}

_TP_POOL* UniqueThreadPool::release() noexcept {
    _TP_POOL* pool = pool_;
    pool_ = nullptr;
    return pool;
}

void UniqueThreadPool::reset() noexcept {
    if (pool_ != nullptr) CloseThreadpool(pool_);
    pool_ = nullptr;
}

UniqueCleanupGroup& UniqueCleanupGroup::operator=(UniqueCleanupGroup&& other) noexcept {
    if (this != &other) {
        reset();
        group_ = other.release();
    }
    return *this;
}

_TP_CLEANUP_GROUP* UniqueCleanupGroup::release() noexcept {
    _TP_CLEANUP_GROUP* group = group_;
    group_ = nullptr;
    return group;
}

void UniqueCleanupGroup::reset() noexcept {
    if (group_ == nullptr) return;
    CloseThreadpoolCleanupGroupMembers(group_, FALSE, nullptr);
    CloseThreadpoolCleanupGroup(group_);
    group_ = nullptr;
}

void CallbackEnvironmentDeleter::operator()(_TP_CALLBACK_ENVIRON_V3* environment) const noexcept {
    DestroyThreadpoolEnvironment(environment);
    delete environment;
}

UniqueThreadPool create_thread_pool() noexcept {
    return UniqueThreadPool(CreateThreadpool(nullptr));
}

UniqueCleanupGroup create_cleanup_group() noexcept {
    return UniqueCleanupGroup(CreateThreadpoolCleanupGroup());
}

CallbackEnvironment make_callback_environment(const UniqueThreadPool& pool,
                                              const UniqueCleanupGroup& group) {
    CallbackEnvironment environment(new TP_CALLBACK_ENVIRON_V3{});
    InitializeThreadpoolEnvironment(environment.get());
    SetThreadpoolCallbackPool(environment.get(), pool.get());
    SetThreadpoolCallbackCleanupGroup(environment.get(), group.get(), nullptr);
    return environment;
}

bool set_thread_minimum(const UniqueThreadPool& pool, std::uint32_t minimum) noexcept {
    return SetThreadpoolThreadMinimum(pool.get(), minimum) != FALSE;
}

void set_thread_maximum(const UniqueThreadPool& pool, std::uint32_t maximum) noexcept {
    SetThreadpoolThreadMaximum(pool.get(), maximum);
}

bool try_submit_callback(SimpleCallback callback, void* context,
                         const CallbackEnvironment& environment) noexcept {
    return TrySubmitThreadpoolCallback(callback, context, environment.get()) != FALSE;
}

void wait_for_cleanup_group_members(const UniqueCleanupGroup& group) noexcept {
    CloseThreadpoolCleanupGroupMembers(group.get(), FALSE, nullptr);
}

}  // namespace rivelo::platform
