#include "support/no_control_pipe.h"

#include <windows.h>

#include "support/running_on_wine.h"

namespace rivelo::test {

namespace {

constexpr wchar_t kServiceCurrentKey[] = L"SYSTEM\\CurrentControlSet\\Control\\ServiceCurrent";
constexpr wchar_t kControlPipePrefix[] = L"\\\\.\\pipe\\net\\NtControlPipe";
// How far past the last number used the value is pointed: more service
// starts than the manager could make between the read and the write.
constexpr std::uint32_t kNumbersSkipped = 1000;

void set_service_current(std::uint32_t number) {
    const DWORD value = number;
    const LSTATUS status = RegSetKeyValueW(HKEY_LOCAL_MACHINE, kServiceCurrentKey, nullptr,
                                           REG_DWORD, &value, sizeof value);
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error("cannot write the manager's control pipe count, error " +
                                 std::to_string(status));
    }
}

}  // namespace

std::optional<std::uint32_t> control_pipe_count() {
    DWORD number = 0;
    DWORD size = sizeof number;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceCurrentKey, nullptr, RRF_RT_REG_DWORD, nullptr,
                     &number, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return number;
}

// Without connecting to it: a pipe that is there but busy times out at once.
bool control_pipe_exists(std::uint32_t number) {
    const std::wstring name = kControlPipePrefix + std::to_wstring(number);
    return WaitNamedPipeW(name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

NoControlPipe::NoControlPipe() {
    if (!running_on_wine()) return;
    pointed_at_ = control_pipe_count().value_or(0) + kNumbersSkipped;
    set_service_current(*pointed_at_);
    if (control_pipe_exists(*pointed_at_)) {
        throw std::runtime_error("control pipe " + std::to_string(*pointed_at_) +
                                 " exists, though the manager has not numbered so far");
    }
}

std::optional<std::string> NoControlPipe::disturbance() const {
    if (!pointed_at_) return std::nullopt;
    if (control_pipe_exists(*pointed_at_)) {
        throw std::runtime_error("the manager opened control pipe " + std::to_string(*pointed_at_) +
                                 ", the number the run was pointed at: it does not number its "
                                 "pipes past the value it reads");
    }
    const std::optional<std::uint32_t> now = control_pipe_count();
    if (now == pointed_at_) return std::nullopt;
    return "the manager started a service meanwhile (control pipe count " +
           std::to_string(*pointed_at_) + ", then " + (now ? std::to_string(*now) : "none") + ")";
}

}  // namespace rivelo::test
