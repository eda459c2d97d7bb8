// Runs the real program with argument lists and checks its exit status, its
// report on standard error and that nothing reaches standard output.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "support/no_control_pipe.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace rivelo::test {
namespace {

constexpr char kBanner123[] =
    "KVR RIVELO Windows Service\n"
    "Build v0.4.0\n"
    "KVR Rivelo project <rivelo@example.org> (Feb 20, 2026 09:09 AM)\n";

class CommandLine : public ::testing::Test {
protected:
    CommandLine() {
        make_folders(scratch / L"web");
        write_file(scratch / L"file.txt", "not a folder");
    }

    // Replaces "{dir}" with the scratch folder.
    std::wstring expand(std::wstring text) const {
        for (std::size_t at; (at = text.find(L"{dir}")) != std::wstring::npos;) {
            text.replace(at, 5, scratch.path());
        }
        return text;
    }

    ProgramRun run_with(std::vector<std::wstring> arguments) const {
        for (auto& argument : arguments) argument = expand(argument);
        ProgramOptions options;
        options.command_line = command_line_for(program, arguments);
        options.working_directory = scratch.path();
        return run_program(program, options);
    }

    ScratchDir scratch;
    const std::wstring program = built_program(L"rivelo_svc.exe");
};

std::string report(const std::wstring& message) {
    return "rivelo_svc: " + platform::to_utf8(message) + "\n";
}

TEST_F(CommandLine, NoArgumentsWritesTheFourBannerLinesWithLineFeedsOnly) {
    const ProgramRun run = run_with({});
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(run.err.rfind(kBanner123, 0), 0u) << run.err;
    const std::string line4 = run.err.substr(sizeof kBanner123 - 1);
    EXPECT_EQ(line4.rfind("Built with ", 0), 0u) << line4;
    EXPECT_EQ(line4.find('\n'), line4.size() - 1) << "line 4 must be the last, ended by one LF";
    EXPECT_EQ(run.err.find('\r'), std::string::npos);
}

struct Outcome {
    const char* name;
    std::vector<std::wstring> arguments;
    std::uint32_t exit_code;
    std::wstring report;  // empty: nothing on standard error
};

// Good options lead to the service control manager, which is not there when
// the program is run by hand.
TEST_F(CommandLine, ArgumentListsGiveTheirExitStatusAndReport) {
    const std::wstring missing = L"{dir}\\missing";
    const std::wstring kNoServiceManager = L"Use service control manager to start service";
    const Outcome cases[] = {
        {"other verbs end silently", {L"stop"}, 0, L""},
        {"the verb is case-sensitive", {L"Start", L"-w", missing}, 0, L""},
        {"a verb with spaces is not the verb", {L" start", L"-w", missing}, 0, L""},
        {"an option first is no verb and is not examined", {L"-w", missing, L"start"}, 0, L""},
        {"the verb alone uses the program folder", {L"start"}, 101, kNoServiceManager},
        {"blank arguments are dropped",
         {L"start", L"", L"   ", L"\t", L"\x3000"},
         101,
         kNoServiceManager},
        {"-w as the last argument has no effect", {L"start", L"-w"}, 101, kNoServiceManager},
        {"--dtrs as the last argument has no effect",
         {L"start", L"--dtrs"},
         101,
         kNoServiceManager},
        {"a blank between -w and its value is dropped",
         {L"start", L"-w", L"", L"{dir}\\web"},
         101,
         kNoServiceManager},
        {"options in any order",
         {L"start", L"--dtrs", L"7", L"-w", L"{dir}\\web"},
         101,
         kNoServiceManager},
        {"a relative -w value", {L"start", L"-w", L"web"}, 101, kNoServiceManager},
        {"unknown arguments are skipped",
         {L"start", L"foo", L"bar", L"-W", missing, L"-w=" + missing},
         101,
         kNoServiceManager},
        {"a --dtrs value may begin with a space then -",
         {L"start", L"--dtrs", L" -x"},
         101,
         kNoServiceManager},
        {"the same map whichever order",
         {L"start", L"-w", L"{dir}\\web", L"--dtrs", L"7"},
         101,
         kNoServiceManager},
        {"a missing folder",
         {L"start", L"-w", missing},
         101,
         L"Specified working directory '{dir}\\missing' does not exist"},
        {"a missing drive",
         {L"start", L"-w", L"Q:\\web"},
         101,
         L"Specified working directory 'Q:\\web' does not exist"},
        {"repeated -w tests the first value first",
         {L"start", L"-w", missing, L"-w", L"{dir}\\web"},
         101,
         L"Specified working directory '{dir}\\missing' does not exist"},
        {"repeated -w tests the later value too",
         {L"start", L"-w", L"{dir}\\web", L"-w", missing},
         101,
         L"Specified working directory '{dir}\\missing' does not exist"},
        {"-w takes --dtrs as its value",
         {L"start", L"-w", L"--dtrs"},
         101,
         L"Specified working directory '--dtrs' does not exist"},
        {"--dtrs refuses a value beginning with -",
         {L"start", L"--dtrs", L"-w", L"{dir}\\web"},
         101,
         L"Invalid argument for '--dtrs'"},
        {"the first failing check wins",
         {L"start", L"--dtrs", L"-x", L"-w", missing},
         101,
         L"Invalid argument for '--dtrs'"},
    };
    for (const Outcome& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramRun run = run_with_no_control_pipe([&] { return run_with(c.arguments); });
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.report.empty() ? "" : report(expand(c.report)));
    }
}

TEST_F(CommandLine, AFileAsRootPassesTheExistenceTestAndFailsAtTheChangeOfDirectory) {
    const ProgramRun run = run_with({L"start", L"-w", L"{dir}\\file.txt"});
    EXPECT_EQ(run.exit_code, 101u);
    EXPECT_EQ(run.out, "");
    const std::string prefix =
        "rivelo_svc: " +
        platform::to_utf8(expand(L"cannot change the working directory to '{dir}\\file.txt': "));
    EXPECT_EQ(run.err.rfind(prefix, 0), 0u) << run.err;
    EXPECT_NE(run.err.find("(os error "), std::string::npos) << run.err;
}

TEST_F(CommandLine, AnExistenceTestThatFailsReportsTheSystemErrorAlone) {
    // A name with a character that no file name may hold makes the open fail
    // with an error that says neither "missing" nor "there".
    const ProgramRun run = run_with({L"start", L"-w", L"{dir}\\bad<name"});
    EXPECT_EQ(run.exit_code, 101u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("rivelo_svc: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("(os error 123)\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Specified working directory"), std::string::npos) << run.err;
}

TEST_F(CommandLine, AnUnpairedSurrogateIsFatalEvenWithoutTheVerb) {
    const std::wstring command_lines[] = {
        L"\"" + program + L"\" \xD800",
        L"\"" + program + L"\" start --dtrs a\xDC00",
        L"\"" + program + L"\" stop x\xD83D",
    };
    for (const std::wstring& command_line : command_lines) {
        ProgramOptions options;
        options.command_line = command_line;
        const ProgramRun run = run_program(program, options);
        EXPECT_EQ(run.exit_code, 101u);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("rivelo_svc: argument '", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("\xEF\xBF\xBD"), std::string::npos) << "the argument, with U+FFFD";
        EXPECT_EQ(run.err.find("KVR RIVELO"), std::string::npos) << "no banner";
    }
}

TEST_F(CommandLine, AStartWithoutPathIsFatal) {
    std::vector<std::wstring> environment;
    wchar_t* const block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
        const std::wstring text(entry);
        if (_wcsnicmp(text.c_str(), L"PATH=", 5) != 0) environment.push_back(text);
    }
    FreeEnvironmentStringsW(block);
    ProgramOptions options;
    options.command_line = command_line_for(program, {L"start", L"-w", scratch / L"web"});
    options.environment = environment;
    const ProgramRun run = run_program(program, options);
    EXPECT_EQ(run.exit_code, 101u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "rivelo_svc: PATH is not set\n");
}

}  // namespace
}  // namespace rivelo::test
