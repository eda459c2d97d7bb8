#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include "support/patience.h"

namespace rivelo::test {

// How long a call that should keep blocking is watched before the test takes
// it as blocked.
inline constexpr std::chrono::milliseconds kStillBlocking{200};

// Runs one call on a thread of its own, so that a test can see whether it
// blocks and when it returns. The call must return within kPatience once it
// is waited for (finish or destruction); otherwise the test program gives up,
// since a thread is then stuck in the code under test.
class BackgroundCall {
public:
    explicit BackgroundCall(std::function<void()> call) {
        std::promise<void> done;
        returned_ = done.get_future();
        thread_ = std::thread([call = std::move(call), done = std::move(done)]() mutable {
            try {
                call();
                done.set_value();
            } catch (...) {
                done.set_exception(std::current_exception());
            }
        });
    }
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;
    ~BackgroundCall() {
        if (thread_.joinable()) wait("a background call to return");
    }

    [[nodiscard]] bool returns_within(std::chrono::milliseconds timeout) const {
        return returned_.wait_for(timeout) == std::future_status::ready;
    }

    // Waits for the call to return and passes on what it threw.
    void finish(const char* what) {
        wait(what);
        returned_.get();
    }

private:
    void wait(const char* what) {
        if (!returns_within(kPatience)) give_up(what);
        thread_.join();
    }

    std::future<void> returned_;
    std::thread thread_;
};

}  // namespace rivelo::test
