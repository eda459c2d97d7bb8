#pragma once

#include <cstdint>
#include <memory>

#include "platform/win_api.h"

// The system's own names for the pool objects, declared here so that code
// above the platform layer can hold them without <windows.h>. The names are
// reserved ones, but they are the system's: no other name would match.
// NOLINTBEGIN(bugprone-reserved-identifier)
struct _TP_POOL;
struct _TP_CLEANUP_GROUP;
struct _TP_CALLBACK_INSTANCE;
struct _TP_CALLBACK_ENVIRON_V3;
// NOLINTEND(bugprone-reserved-identifier)

namespace rivelo::platform {

// Owns a system thread pool; closed with CloseThreadpool.
class UniqueThreadPool {
public:
    UniqueThreadPool() noexcept = default;
    explicit UniqueThreadPool(_TP_POOL* pool) noexcept : pool_(pool) {}
    UniqueThreadPool(UniqueThreadPool&& other) noexcept : pool_(other.release()) {}
    UniqueThreadPool& operator=(UniqueThreadPool&& other) noexcept;
    UniqueThreadPool(const UniqueThreadPool&) = delete;
    UniqueThreadPool& operator=(const UniqueThreadPool&) = delete;
    ~UniqueThreadPool() { reset(); }

    [[nodiscard]] _TP_POOL* get() const noexcept { return pool_; }
    explicit operator bool() const noexcept { return pool_ != nullptr; }
    [[nodiscard]] _TP_POOL* release() noexcept;
    void reset() noexcept;

private:
    _TP_POOL* pool_ = nullptr;
};

// Owns a cleanup group. Closing it first waits for every callback of the
// group to return, cancelling none, since a group may only be closed once it
// has no members left.
class UniqueCleanupGroup {
public:
    UniqueCleanupGroup() noexcept = default;
    explicit UniqueCleanupGroup(_TP_CLEANUP_GROUP* group) noexcept : group_(group) {}
    UniqueCleanupGroup(UniqueCleanupGroup&& other) noexcept : group_(other.release()) {}
    UniqueCleanupGroup& operator=(UniqueCleanupGroup&& other) noexcept;
    UniqueCleanupGroup(const UniqueCleanupGroup&) = delete;
    UniqueCleanupGroup& operator=(const UniqueCleanupGroup&) = delete;
    ~UniqueCleanupGroup() { reset(); }

    [[nodiscard]] _TP_CLEANUP_GROUP* get() const noexcept { return group_; }
    explicit operator bool() const noexcept { return group_ != nullptr; }
    [[nodiscard]] _TP_CLEANUP_GROUP* release() noexcept;
    void reset() noexcept;

private:
    _TP_CLEANUP_GROUP* group_ = nullptr;
};

// A callback environment record on the heap, so that it stays at one address
// for as long as callbacks submitted with it may run.
struct CallbackEnvironmentDeleter {
    void operator()(_TP_CALLBACK_ENVIRON_V3* environment) const noexcept;
};
using CallbackEnvironment = std::unique_ptr<_TP_CALLBACK_ENVIRON_V3, CallbackEnvironmentDeleter>;

// A pool callback: the callback instance (unused here) and the context given
// at submission.
using SimpleCallback = void(RIVELO_WINAPI*)(_TP_CALLBACK_INSTANCE* instance, void* context);

// CreateThreadpool; empty when the system refuses.
UniqueThreadPool create_thread_pool() noexcept;

// CreateThreadpoolCleanupGroup; empty when the system refuses.
UniqueCleanupGroup create_cleanup_group() noexcept;

// The record that InitializeThreadpoolEnvironment, SetThreadpoolCallbackPool
// and SetThreadpoolCallbackCleanupGroup (without a cancel callback) fill:
// callbacks submitted with it run on the pool and belong to the group.
CallbackEnvironment make_callback_environment(const UniqueThreadPool& pool,
                                              const UniqueCleanupGroup& group);

// SetThreadpoolThreadMinimum; false when the system refuses.
[[nodiscard]] bool set_thread_minimum(const UniqueThreadPool& pool, std::uint32_t minimum) noexcept;

// SetThreadpoolThreadMaximum, which cannot fail.
void set_thread_maximum(const UniqueThreadPool& pool, std::uint32_t maximum) noexcept;

// TrySubmitThreadpoolCallback; false when the system refuses.
[[nodiscard]] bool try_submit_callback(SimpleCallback callback, void* context,
                                       const CallbackEnvironment& environment) noexcept;

// CloseThreadpoolCleanupGroupMembers without cancelling anything: returns
// once every callback submitted to the group so far has returned.
void wait_for_cleanup_group_members(const UniqueCleanupGroup& group) noexcept;

}  // namespace rivelo::platform
