#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace rivelo::platform {

// A failure that ends the process. On the main thread it becomes a report on
// standard error and exit status 101; inside a function the platform calls it
// ends the process at once (see guard_entry_point).
class FatalError : public std::exception {
public:
    explicit FatalError(std::wstring message) : message_(std::move(message)) {}
    [[nodiscard]] const std::wstring& message() const noexcept { return message_; }
    const char* what() const noexcept override { return "fatal failure"; }

private:
    std::wstring message_;
};

inline constexpr int kFatalExitStatus = 101;

// The status a process ends with when it fails fast: the one Windows gives a
// process ended by a fail-fast request.
inline constexpr std::uint32_t kFailFastExitStatus = 0xC0000409;

// Writes the report on standard error, when there is one, and ends the process
// at once: no destructors run, no other thread gets a say.
[[noreturn]] void fail_fast(std::wstring_view message) noexcept;

// The report text for whatever was thrown.
std::wstring describe_exception(const std::exception_ptr& failure) noexcept;

// Runs the body of a function that the platform calls (service main, control
// handler, pool callback). No exception may cross into the platform: a failure
// ends the process at once.
template <class Body>
void guard_entry_point(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        fail_fast(describe_exception(std::current_exception()));
    }
}

}  // namespace rivelo::platform
