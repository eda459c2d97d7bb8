#include "servers/recording_child_processes.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/text.h"

namespace rivelo::test {

RecordingChildProcesses::RecordingChildProcesses(std::wstring watched_file)
    : watched_file_(std::move(watched_file)) {}

bool RecordingChildProcesses::watched_file_present() const {
    return !watched_file_.empty() &&
           GetFileAttributesW(watched_file_.c_str()) != INVALID_FILE_ATTRIBUTES;
}

platform::Result<platform::ChildProcess> RecordingChildProcesses::start_child(
    const std::wstring& program, const std::optional<std::wstring>& argument) {
    calls.push_back({Operation::start, program, argument, watched_file_present()});
    const auto failure = start_failures.find(argument.value_or(L""));
    if (failure != start_failures.end()) return failure->second;

    platform::ChildProcess child{
        platform::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)), {}};
    started_[child.process.get()] = {program, argument};
    return child;
}

platform::Result<platform::ExitPoll> RecordingChildProcesses::wait_exit_for(
    const platform::ChildProcess&, std::chrono::milliseconds) {
    ADD_FAILURE() << "a stop action polled a child";
    return platform::win32_error(ERROR_INVALID_FUNCTION);
}

platform::Result<std::uint32_t> RecordingChildProcesses::wait_exit(
    const platform::ChildProcess& child) {
    const auto found = started_.find(child.process.get());
    if (found == started_.end()) {
        ADD_FAILURE() << "wait for a child that was not started here";
        return platform::win32_error(ERROR_INVALID_HANDLE);
    }
    const Started& helper = found->second;
    calls.push_back({Operation::wait, helper.program, helper.argument, watched_file_present()});
    const auto failure = wait_failures.find(helper.argument.value_or(L""));
    if (failure != wait_failures.end()) return failure->second;
    return exit_code;
}

void RecordingChildProcesses::pause_before_retry(std::chrono::milliseconds pause) {
    ADD_FAILURE() << "a start was to be tried again after " << pause.count() << " ms";
}

void PrintTo(const RecordingChildProcesses::Call& call, std::ostream* out) {
    *out << (call.operation == RecordingChildProcesses::Operation::start ? "start " : "wait ")
         << platform::to_utf8(call.program) << " ["
         << (call.argument ? platform::to_utf8(*call.argument) : std::string("no argument"))
         << "] file " << (call.file_present ? "present" : "absent");
}

}  // namespace rivelo::test
