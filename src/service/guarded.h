#pragma once

#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "platform/failure.h"

namespace rivelo::service {

// A value behind a reader-writer lock that is poisoned when a writer fails
// while holding it: every later access is then a fatal failure, since the
// value may be half-changed.
template <class T>
class Guarded {
public:
    explicit Guarded(T value) : value_(std::move(value)) {}

    // Runs reader(const T&) under the read lock and returns its result.
    template <class Reader>
    auto read(Reader&& reader) const {
        std::shared_lock lock(mutex_);
        throw_if_poisoned();
        return std::forward<Reader>(reader)(std::as_const(value_));
    }

    // Runs writer(T&) under the write lock and returns its result; waiters of
    // wait_until look at the value again afterwards.
    template <class Writer>
    auto write(Writer&& writer) {
        // A guard that lives in this frame only and is never copied.
        struct WakeWaiters {  // NOLINT(cppcoreguidelines-special-member-functions)
            std::condition_variable_any& changed;
            ~WakeWaiters() { changed.notify_all(); }
        } wake{changed_};
        std::unique_lock lock(mutex_);
        throw_if_poisoned();
        try {
            return std::forward<Writer>(writer)(value_);
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    // Blocks until done(const T&) holds after a write; no time is spent while
    // the value does not change.
    template <class Predicate>
    void wait_until(Predicate&& done) const {
        std::shared_lock lock(mutex_);
        changed_.wait(lock, [&] {
            throw_if_poisoned();
            return done(std::as_const(value_));
        });
    }

private:
    void throw_if_poisoned() const {
        if (poisoned_) throw platform::FatalError(L"a lock was poisoned by a failed writer");
    }

    mutable std::shared_mutex mutex_;
    mutable std::condition_variable_any changed_;
    bool poisoned_ = false;
    T value_;
};

}  // namespace rivelo::service
