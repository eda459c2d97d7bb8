#pragma once

namespace rivelo::platform {

// Owns one kernel handle and closes it once. Both NULL and
// INVALID_HANDLE_VALUE count as "no handle".
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(void* handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept;
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    [[nodiscard]] void* get() const noexcept { return handle_; }
    [[nodiscard]] bool valid() const noexcept;
    explicit operator bool() const noexcept { return valid(); }

    // Hands ownership to the caller.
    [[nodiscard]] void* release() noexcept;
    void reset(void* handle = nullptr) noexcept;

private:
    void* handle_ = nullptr;
};

}  // namespace rivelo::platform
