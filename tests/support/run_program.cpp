#include "support/run_program.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "fixtures/start_retrying.h"
#include "platform/filesystem.h"
#include "platform/unique_handle.h"

namespace rivelo::test {

namespace {

using platform::UniqueHandle;

struct Pipe {
    UniqueHandle read;
    UniqueHandle write;
};

Pipe make_pipe() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
    Pipe pipe{UniqueHandle(read), UniqueHandle(write)};
    SetHandleInformation(pipe.read.get(), HANDLE_FLAG_INHERIT, 0);
    return pipe;
}

void drain(HANDLE handle, std::string& into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0)
        into.append(buffer, got);
}

std::wstring environment_block(const std::vector<std::wstring>& entries) {
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

}  // namespace

ProgramRun run_program(const std::wstring& application, const ProgramOptions& options) {
    Pipe out = make_pipe();
    Pipe err = make_pipe();

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out.write.get();
    startup.hStdError = err.write.get();

    std::wstring command_line = options.command_line;
    std::wstring block;
    if (options.environment) block = environment_block(*options.environment);
    PROCESS_INFORMATION info{};
    const bool started = start_retrying_lost([&] {
        return CreateProcessW(
                   application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                   CREATE_UNICODE_ENVIRONMENT, options.environment ? block.data() : nullptr,
                   options.working_directory ? options.working_directory->c_str() : nullptr,
                   &startup, &info) != 0;
    });
    if (!started) {
        ADD_FAILURE() << "cannot start program, error " << GetLastError();
        return {};
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    out.write.reset();
    err.write.reset();

    ProgramRun run;
    std::thread out_reader([&] { drain(out.read.get(), run.out); });
    std::thread err_reader([&] { drain(err.read.get(), run.err); });
    const DWORD waited =
        WaitForSingleObject(process.get(), static_cast<DWORD>(options.timeout.count()));
    if (waited != WAIT_OBJECT_0) {
        ADD_FAILURE() << "program did not end within " << options.timeout.count() << " ms";
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), INFINITE);
    }
    out_reader.join();
    err_reader.join();
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    run.exit_code = code;
    return run;
}

std::wstring command_line_for(const std::wstring& program,
                              const std::vector<std::wstring>& arguments) {
    std::wstring line = L"\"" + program + L"\"";
    for (const std::wstring& argument : arguments) {
        line += L' ';
        const bool plain =
            !argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos;
        if (plain) {
            line += argument;
            continue;
        }
        // Quoting by the C runtime's rules: backslashes double only before a quote.
        line += L'"';
        std::size_t backslashes = 0;
        for (wchar_t c : argument) {
            if (c == L'\\') {
                ++backslashes;
                continue;
            }
            if (c == L'"') backslashes = backslashes * 2 + 1;
            line.append(backslashes, L'\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, L'\\');
        line += L'"';
    }
    return line;
}

std::wstring bin_dir() {
    const std::wstring program = platform::current_program_path().value();
    return program.substr(0, program.find_last_of(L'\\'));
}

std::wstring built_program(const std::wstring& file_name) { return bin_dir() + L"\\" + file_name; }

}  // namespace rivelo::test
