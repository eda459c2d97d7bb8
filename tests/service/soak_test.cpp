// Many start and stop cycles of the real service in a row: every cycle must
// reach STOPPED within its bound and leave no server process behind, and the
// service's handle count and memory must not grow from cycle to cycle.
// RIVELO_SOAK_CYCLES sets the number of cycles (20 by default).
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/unique_handle.h"
#include "support/sample_root.h"
#include "support/service_manager.h"
#include "support/taskkill_probe.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kStateTimeout = 30s;
constexpr int kDefaultCycles = 20;

int cycles() {
    const char* text = std::getenv("RIVELO_SOAK_CYCLES");
    return text ? std::atoi(text) : kDefaultCycles;
}

struct CycleFigures {
    DWORD handles = 0;
    double working_set_kib = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

TEST(Soak, RepeatedStartAndStopLeavesNothingBehindAndDoesNotGrow) {
    SampleRoot root;
    ManagedService service(
        L"RiveloSoak", L"\"" + root.service_program() + L"\" start -w \"" + root.path() + L"\"");
    const int total = cycles();
    std::vector<CycleFigures> figures;
    const bool php_exit_checked = taskkill_ends_every_process_of_a_name();

    for (int cycle = 0; cycle < total; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle + 1));
        const bool started = service.start();
        const DWORD start_error = started ? ERROR_SUCCESS : GetLastError();
        ASSERT_TRUE(started) << "StartServiceW failed, error " << start_error;
        ASSERT_TRUE(service.wait_for(ScmState::Running, kStateTimeout));
        platform::UniqueHandle process = open_process(service.query().process_id);
        ASSERT_TRUE(process.valid());
        const auto expected = static_cast<std::size_t>(cycle + 1);
        // What runs now, for the report of a server that did not start.
        const auto census = [] {
            std::string text = "running:";
            for (const wchar_t* name :
                 {L"httpd.exe", L"php-cgi.exe", L"mysqld.exe", L"rivelo_svc.exe"}) {
                text += " " + platform::to_utf8(name) + " " + std::to_string(count_processes(name));
            }
            return text;
        };
        ASSERT_EQ(root.wait_for_records(root.httpd(), expected, kStateTimeout).size(), expected)
            << census();
        ASSERT_EQ(root.wait_for_records(root.mysqld(), expected, kStateTimeout).size(), expected)
            << census();
        ASSERT_EQ(root.wait_for_records(root.php_cgi(), 2 * expected, kStateTimeout).size(),
                  2 * expected)
            << census();

        CycleFigures now;
        // Wine gives no handle count for another process (0); only a real
        // count is compared.
        if (!GetProcessHandleCount(process.get(), &now.handles)) now.handles = 0;
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(process.get(), &counters, sizeof counters);
        now.working_set_kib = static_cast<double>(counters.WorkingSetSize) / 1024.0;
        figures.push_back(now);

        ASSERT_TRUE(service.stop());
        ASSERT_TRUE(service.wait_for(ScmState::Stopped, kStateTimeout));
        ASSERT_EQ(wait_for_process(process.get(), kStateTimeout), std::optional<std::uint32_t>(0));
        for (const wchar_t* name : {L"httpd.exe", L"mysqld.exe"}) {
            ASSERT_EQ(count_processes(name), 0u) << "left behind";
        }
        if (php_exit_checked) {
            ASSERT_EQ(count_processes(L"php-cgi.exe"), 0u) << "left behind";
        }
    }
    if (!php_exit_checked) skip_php_exit_check();

    // Compare the last quarter of the cycles with the first.
    const std::size_t quarter = std::max<std::size_t>(1, figures.size() / 4);
    std::vector<double> first_handles, last_handles, first_memory, last_memory;
    for (std::size_t i = 0; i < quarter; ++i) {
        first_handles.push_back(figures[i].handles);
        last_handles.push_back(figures[figures.size() - 1 - i].handles);
        first_memory.push_back(figures[i].working_set_kib);
        last_memory.push_back(figures[figures.size() - 1 - i].working_set_kib);
    }
    if (median(first_handles) > 0) {
        EXPECT_LE(median(last_handles), median(first_handles) + 2) << "handle count grows";
    } else {
        std::printf("soak: this system reports no handle count for another process\n");
    }
    EXPECT_LE(median(last_memory), median(first_memory) * 1.10 + 256) << "memory grows";
    std::printf(
        "soak: %d cycles; handles first %.0f last %.0f; working set first %.0f KiB last %.0f KiB\n",
        total, median(first_handles), median(last_handles), median(first_memory),
        median(last_memory));
}

}  // namespace
}  // namespace rivelo::test
