#include "support/watched_process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "fixtures/start_retrying.h"
#include "support/patience.h"

namespace rivelo::test {

WatchedProcess::WatchedProcess(std::uint32_t pid)
    : process_(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                           FALSE, pid)) {
    if (!process_) ADD_FAILURE() << "cannot open process " << pid << ", error " << GetLastError();
}

bool WatchedProcess::exits_within(std::chrono::milliseconds timeout) const {
    return WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) ==
           WAIT_OBJECT_0;
}

bool WatchedProcess::running() const {
    return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

std::uint32_t WatchedProcess::exit_code() const {
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void WatchedProcess::terminate() const {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(),
                        static_cast<DWORD>(std::chrono::milliseconds(kPatience).count()));
}

WatchedProcess start_process(const std::wstring& program, std::uint32_t creation_flags) {
    std::wstring command_line = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!start_retrying_lost([&] {
            return CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                                  creation_flags, nullptr, nullptr, &startup, &info) != 0;
        })) {
        ADD_FAILURE() << "cannot start a program, error " << GetLastError();
        return WatchedProcess(platform::UniqueHandle());
    }
    const platform::UniqueHandle thread(info.hThread);
    return WatchedProcess(platform::UniqueHandle(info.hProcess));
}

}  // namespace rivelo::test
