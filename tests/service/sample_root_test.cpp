// The clean-up of a test's root folder, which keeps a process one case left
// from reaching the next.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "fixtures/start_retrying.h"
#include "platform/unique_handle.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/scratch_dir.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

// A process this test started, ended when it goes whatever happened.
class StartedProcess {
public:
    StartedProcess(const std::wstring& program, DWORD flags) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        std::wstring command_line = L"\"" + program + L"\"";
        if (!start_retrying_lost([&] {
                return CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                                      flags, nullptr, nullptr, &startup, &info) != 0;
            })) {
            ADD_FAILURE() << "cannot start program, error " << GetLastError();
            return;
        }
        const platform::UniqueHandle thread(info.hThread);
        process_ = platform::UniqueHandle(info.hProcess);
    }
    ~StartedProcess() {
        if (running()) {
            TerminateProcess(process_.get(), 1);
            WaitForSingleObject(process_.get(), 5000);
        }
    }
    StartedProcess(const StartedProcess&) = delete;
    StartedProcess& operator=(const StartedProcess&) = delete;

    [[nodiscard]] bool running() const {
        return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
    }

private:
    platform::UniqueHandle process_;
};

// A child whose creator was ended inside CreateProcessW stays suspended
// under Wine and never writes a start record; the root must end it all the
// same, and leave alone the same program run from another folder.
TEST(SampleRoot, EndsEveryProcessRunningFromAProgramUnderItAndNoOther) {
    ScratchDir elsewhere;
    copy_file(built_program(L"php-cgi.exe"), elsewhere / L"php-cgi.exe");
    const StartedProcess outsider(elsewhere / L"php-cgi.exe", 0);

    std::optional<SampleRoot> root(std::in_place);
    const StartedProcess ran(root->php_cgi(), 0);
    const StartedProcess never_ran(root->php_cgi(), CREATE_SUSPENDED);
    ASSERT_EQ(SampleRoot::wait_for_records(root->php_cgi(), 1, 20s).size(), 1U);
    ASSERT_TRUE(never_ran.running());

    root.reset();
    EXPECT_FALSE(ran.running());
    EXPECT_FALSE(never_ran.running()) << "a process that wrote no start record is left";
    EXPECT_TRUE(outsider.running());
}

}  // namespace
}  // namespace rivelo::test
