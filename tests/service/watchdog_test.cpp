// The watchdog that every call to the service control manager in the tests
// and benchmarks runs under.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/watchdog.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

// The service calls report through GetLastError, which belongs to the thread
// that made the call: the caller must still find it there.
TEST(Watchdog, ACallThatReturnsGivesItsResultAndLastErrorToTheCaller) {
    struct Case {
        const char* name;
        bool result;
        DWORD last_error;
    };
    const Case cases[] = {
        {"a call that succeeds", true, ERROR_SUCCESS},
        {"a call that is refused", false, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
        {"a call whose service process ended first", false, ERROR_BROKEN_PIPE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool looked = false;
        SetLastError(ERROR_INVALID_FUNCTION);
        const bool result = call_with_watchdog(
            "the call", kServiceCallBound,
            [&c] {
                SetLastError(c.last_error);
                return c.result;
            },
            [&looked] {
                looked = true;
                return std::string();
            });
        EXPECT_EQ(GetLastError(), c.last_error);
        EXPECT_EQ(result, c.result);
        EXPECT_FALSE(looked) << "the state is read only for a hung call";
    }
}

TEST(WatchdogDeathTest, AHungCallEndsTheRunWithWhatWasSeen) {
    EXPECT_EXIT(
        {
            static_cast<void>(call_with_watchdog(
                "ControlService(1) on Stuck", 200ms,
                [] {
                    Sleep(INFINITE);
                    return true;
                },
                [] { return std::string("the manager reports STOPPED"); }));
        },
        ::testing::ExitedWithCode(1),
        "ControlService\\(1\\) on Stuck has not returned after 0\\.2 s; the manager reports "
        "STOPPED\n");
}

}  // namespace
}  // namespace rivelo::test
