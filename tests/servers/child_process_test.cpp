// The child-process layer with real children: the exact command line, what a
// child inherits (environment, working directory, standard handles), waiting
// for its exit, and the starts that must fail without leaving anything open.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/child_process.h"
#include "platform/environment.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "support/handle_watch.h"
#include "support/patience.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "support/start_record.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;
using platform::ChildProcess;
using platform::UniqueHandle;

// What wait_for_event exits with once told to stop.
constexpr std::uint32_t kStoppedStatus = 7;
// Bits of std_handles_probe's exit status: the handles it lacks.
constexpr std::uint32_t kLacksInput = 1;
constexpr std::uint32_t kLacksOutput = 2;
constexpr std::uint32_t kLacksError = 4;

constexpr wchar_t kVariable[] = L"KVR_ROOT";

std::wstring current_directory() {
    wchar_t buffer[MAX_PATH];
    return std::wstring(buffer, GetCurrentDirectoryW(MAX_PATH, buffer));
}

// Waits, bounded, for a started child to end and closes it.
std::uint32_t wait_and_close(ChildProcess child) {
    const auto waited = platform::wait_exit_for(child, kPatience);
    if (!waited.ok() || !waited.value().exited) give_up("a child to exit");
    platform::close_child(std::move(child));
    return waited.value().exit_code;
}

// The recording fixture copied to a folder whose name holds a space; the
// test's working directory and KVR_ROOT are put back after each case.
class ChildProcessTest : public ::testing::Test {
protected:
    ChildProcessTest() { copy_file(built_program(L"record_start.exe"), recorder); }
    ~ChildProcessTest() override {
        SetCurrentDirectoryW(saved_directory.c_str());
        SetEnvironmentVariableW(kVariable, saved_variable ? saved_variable->c_str() : nullptr);
    }

    // Starts the recorder through the layer, waits for it and gives what it saw.
    StartRecord record_of(const std::optional<std::wstring>& argument) {
        auto started = platform::start_child(recorder, argument);
        if (!started.ok()) {
            ADD_FAILURE() << platform::to_utf8(platform::describe(started.error()));
            return {};
        }
        EXPECT_EQ(wait_and_close(std::move(started.value())), 0u);
        std::vector<StartRecord> records = take_start_records(recorder);
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? StartRecord{} : records.front();
    }

    ScratchDir scratch;
    const std::wstring recorder = scratch / L"program files\\record_start.exe";
    const std::wstring saved_directory = current_directory();
    const std::optional<std::wstring> saved_variable =
        platform::get_environment_variable(kVariable);
};

TEST_F(ChildProcessTest, CommandLineIsTheQuotedProgramThenOneSpaceAndTheRawArgument) {
    struct Case {
        const char* name;
        std::optional<std::wstring> argument;
        std::wstring after_program;
    };
    const Case cases[] = {
        {"no argument", std::nullopt, L""},
        {"one word", L"start", L" start"},
        {"several words and spaces, passed raw", L"-a  b c ", L" -a  b c "},
        {"quotes and backslashes untouched", L"\"x y\" z\\\" \\", L" \"x y\" z\\\" \\"},
        {"empty argument", L"", L" "},
        {"text beyond ASCII", L"\x65E5\x672C \xD83D\xDE00", L" \x65E5\x672C \xD83D\xDE00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(record_of(c.argument).command_line, L"\"" + recorder + L"\"" + c.after_program);
        EXPECT_EQ(platform::child_command_line(recorder, c.argument),
                  L"\"" + recorder + L"\"" + c.after_program);
    }
}

TEST_F(ChildProcessTest, ChildInheritsTheEnvironmentAndWorkingDirectoryOfTheMoment) {
    const std::wstring directory = scratch / L"working dir";
    make_folders(directory);
    ASSERT_TRUE(SetCurrentDirectoryW(directory.c_str()));
    const std::wstring value = L"C:/set by the test/" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(SetEnvironmentVariableW(kVariable, value.c_str()));

    const StartRecord record = record_of(std::nullopt);
    EXPECT_EQ(record.working_directory, directory);
    EXPECT_EQ(record.kvr_root, value);
    EXPECT_EQ(record.path, platform::get_environment_variable(L"PATH"));
}

// Text with a NUL would otherwise start the program named by the text before
// the NUL, or cut the argument short.
TEST_F(ChildProcessTest, TextHoldingANulIsRefusedBeforeAnythingIsStarted) {
    struct Case {
        const char* name;
        std::wstring program;
        std::optional<std::wstring> argument;
    };
    const Case cases[] = {
        {"in the program", recorder + std::wstring(1, L'\0') + L".exe", std::nullopt},
        {"in the argument", recorder, L"a" + std::wstring(1, L'\0') + L"b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto started = platform::start_child(c.program, c.argument);
        ASSERT_FALSE(started.ok());
        EXPECT_EQ(started.error().value(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(read_start_records(recorder).empty());
}

TEST_F(ChildProcessTest, PollAndWaitSeeARunningChildThenItsExitCode) {
    const std::wstring name = L"rivelo-child-" + std::to_wstring(GetCurrentProcessId());
    const UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    const UniqueHandle started_event(
        CreateEventW(nullptr, TRUE, FALSE, (name + L".started").c_str()));
    const std::wstring program = scratch / L"wait_for_event.exe";
    copy_file(built_program(L"wait_for_event.exe"), program);

    auto started = platform::start_child(program, name);
    ASSERT_TRUE(started.ok());
    ChildProcess& child = started.value();
    ASSERT_EQ(WaitForSingleObject(started_event.get(), 10000), WAIT_OBJECT_0);

    const auto polled = platform::poll_exit(child);
    ASSERT_TRUE(polled.ok());
    EXPECT_FALSE(polled.value().exited);
    const auto waited_briefly = platform::wait_exit_for(child, 50ms);
    ASSERT_TRUE(waited_briefly.ok());
    EXPECT_FALSE(waited_briefly.value().exited);

    SetEvent(stop.get());
    const auto waited = platform::wait_exit_for(child, kPatience);
    ASSERT_TRUE(waited.ok());
    ASSERT_TRUE(waited.value().exited);
    EXPECT_EQ(waited.value().exit_code, kStoppedStatus);
    const auto reaped = platform::wait_exit(child);
    ASSERT_TRUE(reaped.ok());
    EXPECT_EQ(reaped.value(), kStoppedStatus);

    const HandleWatch process(child.process.get());
    const HandleWatch thread(child.thread.get());
    const long process_handles = process.others();
    const long thread_handles = thread.others();
    ASSERT_GE(process_handles, 1);
    ASSERT_GE(thread_handles, 1);
    platform::close_child(std::move(child));
    EXPECT_EQ(process.others(), process_handles - 1);
    EXPECT_EQ(thread.others(), thread_handles - 1);
}

// A handle that cannot be waited on, and a signalled one that is no process
// (the exit code cannot be read): errors, not exits.
TEST(ChildProcessWait, HandlesThatGiveNoExitCodeAreErrors) {
    struct Case {
        const char* name;
        ChildProcess child;
    };
    Case cases[] = {
        {"no handle", ChildProcess{}},
        {"signalled event",
         ChildProcess{UniqueHandle(CreateEventW(nullptr, TRUE, TRUE, nullptr)), {}}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto polled = platform::poll_exit(c.child);
        ASSERT_FALSE(polled.ok());
        EXPECT_EQ(polled.error().value(), ERROR_INVALID_HANDLE);
        const auto waited = platform::wait_exit(c.child);
        ASSERT_FALSE(waited.ok());
        EXPECT_EQ(waited.error().value(), ERROR_INVALID_HANDLE);
    }
}

// A pipe whose handles this process does not let children inherit.
struct Pipe {
    UniqueHandle read;
    UniqueHandle write;
};

Pipe make_pipe() {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, nullptr, 0)) give_up("a pipe");
    return {UniqueHandle(read), UniqueHandle(write)};
}

// Everything in the pipe once its last writer has gone. A writer still open
// here (a duplicate left behind) fails the case instead of blocking it.
std::string drain_closed_pipe(const Pipe& pipe) {
    std::string bytes;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe.read.get(), nullptr, 0, nullptr, &available, nullptr)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
            return bytes;
        }
        if (available == 0) {
            ADD_FAILURE() << "a handle to the pipe is still open";
            return bytes;
        }
        std::string chunk(available, '\0');
        DWORD got = 0;
        ReadFile(pipe.read.get(), chunk.data(), available, &got, nullptr);
        bytes.append(chunk, 0, got);
    }
}

// Sets this process's standard handles for one case and puts the old ones back.
class StandardHandles {
public:
    StandardHandles(HANDLE input, HANDLE output, HANDLE error) {
        SetStdHandle(STD_INPUT_HANDLE, input);
        SetStdHandle(STD_OUTPUT_HANDLE, output);
        SetStdHandle(STD_ERROR_HANDLE, error);
    }
    ~StandardHandles() {
        SetStdHandle(STD_INPUT_HANDLE, input_);
        SetStdHandle(STD_OUTPUT_HANDLE, output_);
        SetStdHandle(STD_ERROR_HANDLE, error_);
    }
    StandardHandles(const StandardHandles&) = delete;
    StandardHandles& operator=(const StandardHandles&) = delete;

private:
    HANDLE input_ = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output_ = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE error_ = GetStdHandle(STD_ERROR_HANDLE);
};

// The process's own standard handles reach the child although they are not
// inheritable (so through duplicates), a missing or invalid one reaches it as
// none, and no duplicate is left open once the child has been started.
TEST(ChildProcessStandardHandles, EachPresentHandleIsPassedOnAndTheDuplicatesAreClosed) {
    enum class Given { pipe, none, invalid };
    struct Case {
        const char* name;
        Given input, output, error;
        std::uint32_t lacking;
        std::string out, err;
    };
    const Case cases[] = {
        {"all three", Given::pipe, Given::pipe, Given::pipe, 0, "hello out", "err"},
        {"output only, error invalid", Given::none, Given::pipe, Given::invalid,
         kLacksInput | kLacksError, "out", ""},
        {"error only", Given::none, Given::none, Given::pipe, kLacksInput | kLacksOutput, "",
         "err"},
    };
    const std::wstring probe = built_program(L"std_handles_probe.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pipe input = make_pipe();
        Pipe output = make_pipe();
        Pipe error = make_pipe();
        const std::string sent = "hello ";
        DWORD written = 0;
        WriteFile(input.write.get(), sent.data(), static_cast<DWORD>(sent.size()), &written,
                  nullptr);
        input.write.reset();

        const auto pick = [](Given given, const UniqueHandle& pipe_end) -> HANDLE {
            if (given == Given::pipe) return pipe_end.get();
            return given == Given::invalid ? INVALID_HANDLE_VALUE : nullptr;
        };
        platform::Result<ChildProcess> started = std::error_code{};
        {
            const StandardHandles swapped(pick(c.input, input.read), pick(c.output, output.write),
                                          pick(c.error, error.write));
            started = platform::start_child(probe, std::nullopt);
        }
        ASSERT_TRUE(started.ok()) << platform::to_utf8(platform::describe(started.error()));
        EXPECT_EQ(wait_and_close(std::move(started.value())), c.lacking);

        output.write.reset();
        error.write.reset();
        EXPECT_EQ(drain_closed_pipe(output), c.out);
        EXPECT_EQ(drain_closed_pipe(error), c.err);
    }
}

// While one thread starts a child, another may be starting one too and hold
// inheritable duplicates of its standard handles for that child. A child must
// not inherit them (it would keep the other child's pipes open): neither one
// handed standard handles (those alone are inherited) nor one without any (as
// under the service manager: then nothing is inherited).
TEST(ChildProcessStandardHandles, AChildInheritsNoHandleMadeInheritableForAnother) {
    struct Case {
        const char* name;
        bool standard_handles;
    };
    const Case cases[] = {
        {"with standard handles", true},
        {"without standard handles", false},
    };
    const std::wstring program = built_program(L"wait_for_event.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // As the other start makes it: an inheritable duplicate of a pipe end.
        const Pipe others = make_pipe();
        HANDLE duplicate = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), others.write.get(), GetCurrentProcess(),
                                    &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS));
        const UniqueHandle for_the_other_child(duplicate);
        const HandleWatch watch(for_the_other_child.get());
        const long handles_before = watch.others();
        ASSERT_GE(handles_before, 1);

        const std::wstring name = L"rivelo-inherit-" + std::to_wstring(GetCurrentProcessId()) +
                                  (c.standard_handles ? L"-std" : L"-none");
        const UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        const UniqueHandle started_event(
            CreateEventW(nullptr, TRUE, FALSE, (name + L".started").c_str()));
        const Pipe own = make_pipe();
        platform::Result<ChildProcess> started = std::error_code{};
        {
            const HANDLE output = c.standard_handles ? own.write.get() : nullptr;
            const StandardHandles swapped(nullptr, output, output);
            started = platform::start_child(program, name);
        }
        ASSERT_TRUE(started.ok()) << platform::to_utf8(platform::describe(started.error()));
        ASSERT_EQ(WaitForSingleObject(started_event.get(), 10000), WAIT_OBJECT_0);

        EXPECT_EQ(watch.others(), handles_before) << "the child holds a copy";

        SetEvent(stop.get());
        EXPECT_EQ(wait_and_close(std::move(started.value())), kStoppedStatus);
    }
}

// A failed start closes the duplicates it made, like a successful one.
TEST(ChildProcessStandardHandles, AProgramThatCannotBeStartedFailsAndLeavesNothingOpen) {
    const ScratchDir scratch;
    Pipe output = make_pipe();
    platform::Result<ChildProcess> started = std::error_code{};
    {
        const StandardHandles swapped(nullptr, output.write.get(), output.write.get());
        started = platform::start_child(scratch / L"missing.exe", std::nullopt);
    }
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().value(), ERROR_FILE_NOT_FOUND);
    output.write.reset();
    EXPECT_EQ(drain_closed_pipe(output), "");
}

}  // namespace
}  // namespace rivelo::test
