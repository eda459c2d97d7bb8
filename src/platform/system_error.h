#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

namespace rivelo::platform {

// The category of Win32 error codes (GetLastError values).
const std::error_category& win32_category() noexcept;

inline std::error_code win32_error(std::uint32_t code) noexcept {
    return {static_cast<int>(code), win32_category()};
}

// The calling thread's last Win32 error; read it right after the failing call.
std::error_code last_error() noexcept;

// The system's description of the error followed by its code, for reports:
// "Access is denied. (os error 5)".
std::wstring describe(std::error_code error);

// A value or the system error that prevented it.
template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(std::error_code error) : state_(error) {}

    [[nodiscard]] bool ok() const noexcept { return std::holds_alternative<T>(state_); }
    [[nodiscard]] T& value() { return std::get<T>(state_); }
    [[nodiscard]] const T& value() const { return std::get<T>(state_); }
    [[nodiscard]] std::error_code error() const noexcept {
        return ok() ? std::error_code{} : std::get<std::error_code>(state_);
    }

private:
    std::variant<T, std::error_code> state_;
};

}  // namespace rivelo::platform
