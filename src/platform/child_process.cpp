#include "platform/child_process.h"

#include <windows.h>

#include <utility>

namespace rivelo::platform {

namespace {

constexpr wchar_t kQuote = L'"';
constexpr wchar_t kSeparator = L' ';

bool holds_nul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

// An inheritable duplicate of one of the process's standard handles, with the
// same access; empty when the process has none or it cannot be duplicated.
UniqueHandle inheritable_standard_handle(DWORD which) {
    HANDLE own = GetStdHandle(which);
    if (own == nullptr || own == INVALID_HANDLE_VALUE) return {};
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &duplicate, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return {};
    }
    return UniqueHandle(duplicate);
}

// Waits hold a DWORD of milliseconds, where all ones means "no limit".
DWORD wait_milliseconds(std::chrono::milliseconds timeout) {
    if (timeout.count() <= 0) return 0;
    if (timeout.count() >= static_cast<long long>(INFINITE)) return INFINITE - 1;
    return static_cast<DWORD>(timeout.count());
}

}  // namespace

std::wstring child_command_line(const std::wstring& program,
                                const std::optional<std::wstring>& argument) {
    std::wstring line;
    line += kQuote;
    line += program;
    line += kQuote;
    if (argument) {
        line += kSeparator;
        line += *argument;
    }
    return line;
}

Result<ChildProcess> start_child(const std::wstring& program,
                                 const std::optional<std::wstring>& argument) {
    if (holds_nul(program) || (argument && holds_nul(*argument))) {
        return win32_error(ERROR_INVALID_PARAMETER);
    }
    std::wstring command_line = child_command_line(program, argument);

    // Closed when this function returns; the child has its own copies by then.
    const UniqueHandle input = inheritable_standard_handle(STD_INPUT_HANDLE);
    const UniqueHandle output = inheritable_standard_handle(STD_OUTPUT_HANDLE);
    const UniqueHandle error = inheritable_standard_handle(STD_ERROR_HANDLE);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (input || output || error) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = error.get();
    }

    PROCESS_INFORMATION created{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &created)) {
        return last_error();
    }
    return ChildProcess{UniqueHandle(created.hProcess), UniqueHandle(created.hThread)};
}

Result<ExitPoll> wait_exit_for(const ChildProcess& child, std::chrono::milliseconds timeout) {
    const DWORD waited = WaitForSingleObject(child.process.get(), wait_milliseconds(timeout));
    if (waited == WAIT_TIMEOUT) return ExitPoll{};
    if (waited != WAIT_OBJECT_0) return last_error();
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(child.process.get(), &exit_code)) return last_error();
    return ExitPoll{true, exit_code};
}

Result<std::uint32_t> wait_exit(const ChildProcess& child) {
    if (WaitForSingleObject(child.process.get(), INFINITE) != WAIT_OBJECT_0) return last_error();
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(child.process.get(), &exit_code)) return last_error();
    return static_cast<std::uint32_t>(exit_code);
}

void close_child(ChildProcess child) {
    child.process.reset();
    child.thread.reset();
}

}  // namespace rivelo::platform
