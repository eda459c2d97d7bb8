// Prepares the environment of this test process, then starts a recording
// child to see what every child of the service inherits.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "launcher/process_environment.h"
#include "launcher/root_dir.h"
#include "platform/environment.h"
#include "platform/failure.h"
#include "platform/filesystem.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "support/start_record.h"

namespace rivelo::test {
namespace {

std::wstring current_directory() {
    wchar_t buffer[MAX_PATH];
    return std::wstring(buffer, GetCurrentDirectoryW(MAX_PATH, buffer));
}

void restore_variable(const wchar_t* name, const std::optional<std::wstring>& value) {
    SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

// Puts back the working directory, PATH and KVR_ROOT after each case.
class ProcessEnvironment : public ::testing::Test {
protected:
    ProcessEnvironment() { copy_file(built_program(L"record_start.exe"), recorder); }

    ~ProcessEnvironment() override {
        SetCurrentDirectoryW(saved_directory.c_str());
        restore_variable(L"PATH", saved_path);
        restore_variable(L"KVR_ROOT", saved_root);
    }

    std::wstring expand(std::wstring text) const {
        std::wstring slashed = scratch.path();
        std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
        for (std::size_t at; (at = text.find(L"{dir}")) != std::wstring::npos;) {
            text.replace(at, 5, scratch.path());
        }
        for (std::size_t at; (at = text.find(L"{fwd}")) != std::wstring::npos;) {
            text.replace(at, 5, slashed);
        }
        return text;
    }

    // What a child started now sees.
    StartRecord child_view() const {
        take_start_records(recorder);
        ProgramOptions options;
        options.command_line = L"\"" + recorder + L"\"";
        const ProgramRun run = run_program(recorder, options);
        EXPECT_EQ(run.exit_code, 0u);
        const auto records = take_start_records(recorder);
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? StartRecord{} : records.front();
    }

    ScratchDir scratch;
    const std::wstring recorder = scratch / L"bin\\record_start.exe";
    const std::wstring saved_directory = current_directory();
    const std::optional<std::wstring> saved_path = platform::get_environment_variable(L"PATH");
    const std::optional<std::wstring> saved_root = platform::get_environment_variable(L"KVR_ROOT");
};

TEST_F(ProcessEnvironment, ChildrenInheritTheRootAsDirectoryKvrRootAndPathEntry) {
    struct Case {
        const char* name;
        std::wstring root;
        std::optional<std::wstring> path_before;
        std::wstring kvr_root;
        std::wstring path_after;
        std::wstring working_directory;
    };
    const Case cases[] = {
        {"plain root", L"{dir}", L"C:\\windows", L"{fwd}", L"C:\\windows;{dir}\\php\\lib\\imagick",
         L"{dir}"},
        {"trailing backslash", L"{dir}\\", L"C:\\windows", L"{fwd}/",
         L"C:\\windows;{dir}\\php\\lib\\imagick", L"{dir}"},
        {"forward slashes", L"{fwd}", L"C:\\windows", L"{fwd}",
         L"C:\\windows;{fwd}\\php\\lib\\imagick", L"{dir}"},
        {"drive root", L"C:\\", L"C:\\windows", L"C:/", L"C:\\windows;C:\\php\\lib\\imagick",
         L"C:\\"},
        {"empty PATH", L"{dir}", L"", L"{fwd}", L";{dir}\\php\\lib\\imagick", L"{dir}"},
        {"PATH ending with ;", L"{dir}", L"C:\\windows;", L"{fwd}",
         L"C:\\windows;;{dir}\\php\\lib\\imagick", L"{dir}"},
        {"PATH holding the entry already", L"{dir}", L"{dir}\\php\\lib\\imagick", L"{fwd}",
         L"{dir}\\php\\lib\\imagick;{dir}\\php\\lib\\imagick", L"{dir}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetCurrentDirectoryW(saved_directory.c_str());
        restore_variable(L"PATH",
                         c.path_before ? std::optional(expand(*c.path_before)) : std::nullopt);

        launcher::prepare_environment(expand(c.root));

        const StartRecord seen = child_view();
        EXPECT_EQ(seen.kvr_root, expand(c.kvr_root));
        EXPECT_EQ(seen.path, expand(c.path_after));
        EXPECT_EQ(seen.working_directory, expand(c.working_directory));
    }
}

TEST_F(ProcessEnvironment, AbsentPathIsFatalAfterDirectoryAndKvrRootAreSet) {
    SetEnvironmentVariableW(L"PATH", nullptr);
    try {
        launcher::prepare_environment(scratch.path());
        FAIL() << "expected a fatal failure";
    } catch (const platform::FatalError& failure) {
        EXPECT_EQ(failure.message(), L"PATH is not set");
    }
    EXPECT_EQ(current_directory(), scratch.path());
    EXPECT_EQ(platform::get_environment_variable(L"KVR_ROOT"), expand(L"{fwd}"));
}

TEST_F(ProcessEnvironment, AFileAsRootFailsAtTheChangeOfDirectoryAndChangesNothing) {
    write_file(scratch / L"file.txt", "x");
    SetEnvironmentVariableW(L"KVR_ROOT", nullptr);
    EXPECT_THROW(launcher::prepare_environment(scratch / L"file.txt"), platform::FatalError);
    EXPECT_EQ(current_directory(), saved_directory);
    EXPECT_EQ(platform::get_environment_variable(L"KVR_ROOT"), std::nullopt);
}

TEST_F(ProcessEnvironment, ARelativeRootIsMadeAbsoluteAgainstTheStartingDirectory) {
    SetCurrentDirectoryW(scratch.path().c_str());
    struct Case {
        std::wstring given;
        std::wstring resolved;
    };
    const Case cases[] = {
        {L"web", L"{dir}\\web"},
        {L"web\\", L"{dir}\\web\\"},
        {L"web/site", L"{dir}\\web\\site"},
        {L"{dir}/web/", L"{dir}/web/"},  // absolute: kept exactly, separators and all
        {L"C:\\", L"C:\\"},
    };
    for (const Case& c : cases) {
        const launcher::OptionMap options{{launcher::kRootKey, expand(c.given)}};
        EXPECT_EQ(launcher::resolve_root_dir(options), expand(c.resolved));
    }
}

TEST_F(ProcessEnvironment, WithoutRootTheProgramFolderIsTheRoot) {
    EXPECT_EQ(launcher::resolve_root_dir({}), bin_dir());
    EXPECT_EQ(launcher::resolve_root_dir({{launcher::kDtrsKey, L"7"}}), bin_dir());
}

}  // namespace
}  // namespace rivelo::test
