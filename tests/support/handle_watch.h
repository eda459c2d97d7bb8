#pragma once

#include <windows.h>
#include <winternl.h>

#include "platform/unique_handle.h"

namespace rivelo::test {

// Watches how many handles refer to the object behind a handle, through a
// handle of its own: unlike a check of the handle value, which the system may
// hand out again, this shows whether the code under test closed its handle.
class HandleWatch {
public:
    explicit HandleWatch(HANDLE watched) {
        HANDLE own = nullptr;
        DuplicateHandle(GetCurrentProcess(), watched, GetCurrentProcess(), &own, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        own_.reset(own);
    }

    // Handles to the object other than the watch's own; -1 when unknown.
    [[nodiscard]] long others() const {
        using QueryObject =
            NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
        // GetProcAddress gives a pointer to a function of another type; the
        // step through void* tells GCC (-Wcast-function-type) that this is meant.
        // NOLINTBEGIN(bugprone-casting-through-void)
        static const auto query = reinterpret_cast<QueryObject>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
        // NOLINTEND(bugprone-casting-through-void)
        PUBLIC_OBJECT_BASIC_INFORMATION info{};
        ULONG length = 0;
        if (query == nullptr || !own_ ||
            query(own_.get(), ObjectBasicInformation, &info, sizeof info, &length) != 0) {
            return -1;
        }
        return static_cast<long>(info.HandleCount) - 1;
    }

private:
    platform::UniqueHandle own_;
};

}  // namespace rivelo::test
