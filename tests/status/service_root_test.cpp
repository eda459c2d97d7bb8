// How the status program reads a service's registered command line: split by
// the C runtime's rules, as the service's own wmain gets it, then the verb
// and the options as the launcher reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/argument_split.h"
#include "status/service_root.h"
#include "support/scratch_dir.h"
#include "support/working_directory_scope.h"

namespace rivelo::test {
namespace {

struct Split {
    const wchar_t* command_line;
    std::vector<std::wstring> arguments;
};

TEST(ArgumentSplit, FollowsTheCRuntimeRules) {
    const Split cases[] = {
        {L"", {L""}},
        {L"p.exe", {L"p.exe"}},
        {L"\"C:\\Program Files\\p.exe\" start", {L"C:\\Program Files\\p.exe", L"start"}},
        // The program keeps its backslashes, also one before its closing quote.
        {L"\"C:\\dir\\\" a", {L"C:\\dir\\", L"a"}},
        {L"p \t a  \"b c\"\t d", {L"p", L"a", L"b c", L"d"}},
        {L"p a\\\\b c\\d", {L"p", L"a\\\\b", L"c\\d"}},
        {L"p \"a\\\\\" b", {L"p", L"a\\", L"b"}},
        {L"p a\\\"b \\\\\\\"c", {L"p", L"a\"b", L"\\\"c"}},
        {L"p \"a\"\"b\" c", {L"p", L"a\"b", L"c"}},
        {L"p \"\" x", {L"p", L"", L"x"}},
        {L"p \"open to the end", {L"p", L"open to the end"}},
        {L"p a\"b c\"d", {L"p", L"ab cd"}},
    };
    for (const Split& split : cases) {
        SCOPED_TRACE(testing::Message() << "command line: " << split.command_line);
        EXPECT_EQ(launcher::split_command_line(split.command_line), split.arguments);
    }
}

struct RootCase {
    std::wstring command_line;
    std::wstring folder;   // expected root; empty when a problem is expected
    std::wstring problem;  // a part of the expected problem
};

TEST(ServiceRoot, IsTheFolderOfTheProgramOrTheWValue) {
    const ScratchDir stack;
    const ScratchDir other;
    const std::wstring program = L"\"C:\\Program Files\\Stack\\rivelo_svc.exe\"";
    const RootCase cases[] = {
        {program + L" start", L"C:\\Program Files\\Stack", {}},
        {L"C:\\Stack\\rivelo_svc.exe start --dtrs 5", L"C:\\Stack", {}},
        {program + L" start -w \"" + stack.path() + L"\"", stack.path(), {}},
        // The last -w counts, as it does for the service.
        {program + L" start -w \"" + other.path() + L"\" -w \"" + stack.path() + L"\"",
         stack.path(),
         {}},
        {program + L" start -w \"C:\\nowhere\\at all\"",
         {},
         L"Specified working directory 'C:\\nowhere\\at all' does not exist"},
        {program, {}, L"does not start the service"},
        {program + L" stop", {}, L"does not start the service"},
        {L"rivelo_svc.exe start", {}, L"has no folder"},
    };
    for (const RootCase& root : cases) {
        SCOPED_TRACE(testing::Message() << "command line: " << root.command_line);
        const status::ServiceRoot read =
            status::root_of_command_line(root.command_line, L"C:\\Windows\\System32");
        EXPECT_EQ(read.folder, root.folder);
        if (root.problem.empty()) {
            EXPECT_EQ(read.problem, L"");
        } else {
            EXPECT_NE(read.problem.find(root.problem), std::wstring::npos);
        }
    }
}

TEST(ServiceRoot, ARelativeWValueIsJoinedToTheSystemFolder) {
    // The service's process starts in the system folder; here a scratch
    // folder plays it, and is the current folder as well, where the launcher's
    // existence check looks.
    const ScratchDir system_folder;
    make_folders(system_folder / L"stack");
    const WorkingDirectoryScope in_system_folder(system_folder.path());
    const status::ServiceRoot read = status::root_of_command_line(
        L"\"C:\\S\\rivelo_svc.exe\" start -w stack", system_folder.path());
    EXPECT_EQ(read.folder, system_folder / L"stack");
    EXPECT_EQ(read.problem, L"");
}

}  // namespace
}  // namespace rivelo::test
