#include "platform/unique_handle.h"

#include <windows.h>

namespace rivelo::platform {

UniqueHandle& UniqueHandle::operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

bool UniqueHandle::valid() const noexcept {
    return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
}

void* UniqueHandle::release() noexcept {
    void* handle = handle_;
    handle_ = nullptr;
    return handle;
}

void UniqueHandle::reset(void* handle) noexcept {
    if (valid()) CloseHandle(handle_);  // nothing useful to do when closing fails
    handle_ = handle;
}

}  // namespace rivelo::platform
