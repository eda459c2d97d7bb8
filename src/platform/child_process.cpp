#include "platform/child_process.h"

#include <windows.h>

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

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

// A process-thread attribute list naming the only handles that a child may
// inherit, so that it does not also inherit the duplicates made at the same
// time for a child that another thread is starting. It points into its own
// copy of the handles.
class InheritOnly {
public:
    // The handles must be inheritable, distinct, and at least one.
    static Result<std::unique_ptr<InheritOnly>> create(std::vector<HANDLE> handles) {
        SIZE_T size = 0;
        // Fails by design: asks for the size of a list of one attribute.
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::unique_ptr<InheritOnly> made(new InheritOnly(std::move(handles), size));
        if (!InitializeProcThreadAttributeList(made->list(), 1, 0, &size)) return last_error();
        made->initialized_ = true;
        if (!UpdateProcThreadAttribute(made->list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                       static_cast<void*>(made->handles_.data()),
                                       made->handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            return last_error();
        }
        return made;
    }

    InheritOnly(const InheritOnly&) = delete;
    InheritOnly& operator=(const InheritOnly&) = delete;
    ~InheritOnly() {
        if (initialized_) DeleteProcThreadAttributeList(list());
    }

    [[nodiscard]] LPPROC_THREAD_ATTRIBUTE_LIST list() const {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    }

private:
    InheritOnly(std::vector<HANDLE> handles, SIZE_T size)
        : handles_(std::move(handles)), storage_(std::make_unique<std::byte[]>(size)) {}

    std::vector<HANDLE> handles_;
    std::unique_ptr<std::byte[]> storage_;
    bool initialized_ = false;
};

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

    std::vector<HANDLE> handed_on;
    for (const UniqueHandle* handle : {&input, &output, &error}) {
        if (*handle) handed_on.push_back(handle->get());
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    DWORD flags = CREATE_UNICODE_ENVIRONMENT;
    // Without standard handles (under the service manager) the child inherits
    // nothing at all: an empty handle list is invalid.
    std::unique_ptr<InheritOnly> inherit_only;
    if (!handed_on.empty()) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = input.get();
        startup.StartupInfo.hStdOutput = output.get();
        startup.StartupInfo.hStdError = error.get();
        auto made = InheritOnly::create(std::move(handed_on));
        if (!made.ok()) return made.error();
        inherit_only = std::move(made.value());
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = inherit_only->list();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    PROCESS_INFORMATION created{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr,
                        inherit_only ? TRUE : FALSE, flags, nullptr, nullptr, &startup.StartupInfo,
                        &created)) {
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
