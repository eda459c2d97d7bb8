#include "platform/failure.h"

#include <windows.h>

#include <new>

#include "platform/console.h"

namespace rivelo::platform {

void fail_fast(std::wstring_view message) noexcept {
    try {
        write_report(message);
    } catch (...) {  // NOLINT(bugprone-empty-catch)
        // The process ends anyway; the report is a courtesy.
    }
    TerminateProcess(GetCurrentProcess(), kFailFastExitStatus);
    // TerminateProcess on the own process does not return; make sure of it.
    for (;;) ExitProcess(kFailFastExitStatus);
}

std::wstring describe_exception(const std::exception_ptr& failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const FatalError& error) {
        return error.message();
    } catch (const std::bad_alloc&) {
        return L"out of memory";
    } catch (const std::exception& error) {
        const char* what = error.what();
        return std::wstring(what, what + std::char_traits<char>::length(what));
    } catch (...) {
        return L"unknown failure";
    }
}

}  // namespace rivelo::platform
