// Many start and stop cycles of the real service in a row: every cycle must
// reach STOPPED within its bound and leave no server process behind, and the
// service's handle count and memory must not grow from cycle to cycle.
// RIVELO_SOAK_CYCLES sets the number of cycles (20 by default).
//
// Under heavy load Wine's start of a new process now and then dies before the
// program's own code runs; CreateProcessW (or StartServiceW, which starts the
// service with it) then fails with ERROR_INTERNAL_ERROR. The soak runs the
// service's traced build (the shipped code, with every child start written to
// a trace beside the program), and the web server stand-in traces its worker
// and PHP processes the same way, so a child lost that way is told apart from a fault
// of ours: it is reported, the cycle's expectations take it into account, and
// the soak goes on. A loss with any other cause fails the soak.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "support/child_trace.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/scratch_dir.h"
#include "support/service_manager.h"
#include "support/taskkill_probe.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kStateTimeout = 30s;
constexpr int kDefaultCycles = 20;
// The error a process start gets when Wine's start of the new process died.
constexpr std::uint32_t kWineStartDied = ERROR_INTERNAL_ERROR;

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

// The trace lines of the traced service and of the web server stand-ins that
// are new since the last look.
struct NewTraceLines {
    std::vector<ChildTraceEntry> service;     // the servers and stop helpers
    std::vector<ChildTraceEntry> web_server;  // its worker and PHP processes

    [[nodiscard]] std::vector<ChildTraceEntry> all() const {
        std::vector<ChildTraceEntry> lines = service;
        lines.insert(lines.end(), web_server.begin(), web_server.end());
        return lines;
    }
};

class ChildTraces {
public:
    explicit ChildTraces(const SampleRoot& root)
        : service_program_(root.service_program()), web_server_program_(root.httpd()) {}

    NewTraceLines take_new() {
        return {take_new(service_program_, service_seen_),
                take_new(web_server_program_, web_server_seen_)};
    }

private:
    static std::vector<ChildTraceEntry> take_new(const std::wstring& program, std::size_t& seen) {
        const std::vector<ChildTraceEntry> all = read_child_trace(program);
        std::vector<ChildTraceEntry> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen),
                                           all.end());
        seen = all.size();
        return fresh;
    }

    std::wstring service_program_;
    std::wstring web_server_program_;
    std::size_t service_seen_ = 0;
    std::size_t web_server_seen_ = 0;
};

std::string describe(const std::vector<ChildTraceEntry>& entries) {
    std::string text = "child trace:";
    for (const ChildTraceEntry& entry : entries) text += "\n  " + describe(entry);
    return text;
}

// The children whose start Wine lost, counted by file name ("httpd.exe").
// Fails the test on a start that failed in any other way.
std::map<std::wstring, std::size_t> wine_lost_starts(const std::vector<ChildTraceEntry>& entries,
                                                     int cycle) {
    std::map<std::wstring, std::size_t> lost;
    for (const ChildTraceEntry& entry : entries) {
        if (entry.kind != ChildTraceEntry::Kind::Failed) continue;
        EXPECT_EQ(entry.number, kWineStartDied) << describe(entry);
        if (entry.number != kWineStartDied) continue;
        ++lost[std::filesystem::path(entry.detail).filename().wstring()];
        std::printf("soak: cycle %d: Wine lost a start: %s\n", cycle, describe(entry).c_str());
    }
    return lost;
}

// What runs now, for the report of a server that did not start.
std::string census() {
    std::string text = "running:";
    for (const wchar_t* name : {L"httpd.exe", L"php-cgi.exe", L"mysqld.exe", L"rivelo_svc.exe"})
        text += " " + platform::to_utf8(name) + " " + std::to_string(count_processes(name));
    return text;
}

TEST(Soak, RepeatedStartAndStopLeavesNothingBehindAndDoesNotGrow) {
    SampleRoot root;
    copy_file(built_program(L"rivelo_svc_traced.exe"), root.service_program());
    ManagedService service(
        L"RiveloSoak", L"\"" + root.service_program() + L"\" start -w \"" + root.path() + L"\"");
    const int total = cycles();
    std::vector<CycleFigures> figures;
    const bool web_exit_checked = taskkill_ends_every_process_of_a_name();
    ChildTraces traces(root);
    std::size_t wine_losses = 0;
    // The start records there must be by now.
    std::size_t httpd_starts = 0;
    std::size_t mysqld_starts = 0;
    std::size_t php_starts = 0;

    for (int cycle = 1; cycle <= total; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        if (!service.start()) {
            const DWORD start_error = GetLastError();
            ASSERT_EQ(start_error, kWineStartDied) << "StartServiceW failed";
            std::printf("soak: cycle %d: Wine lost the start of the service (StartServiceW: %lu)\n",
                        cycle, start_error);
            ++wine_losses;
            continue;
        }
        ASSERT_TRUE(service.wait_for(ScmState::Running, kStateTimeout));
        platform::UniqueHandle process = open_process(service.query().process_id);
        ASSERT_TRUE(process.valid());

        httpd_starts += 2;  // the web server's parent and its worker
        mysqld_starts += 1;
        php_starts += 2;
        const auto started = [&] {
            return root.wait_for_records(root.httpd(), httpd_starts, kStateTimeout).size() ==
                       httpd_starts &&
                   root.wait_for_records(root.mysqld(), mysqld_starts, kStateTimeout).size() ==
                       mysqld_starts &&
                   root.wait_for_records(root.php_cgi(), php_starts, kStateTimeout).size() ==
                       php_starts;
        };
        if (!started()) {
            const NewTraceLines lines = traces.take_new();
            const std::vector<ChildTraceEntry> entries = lines.all();
            auto lost = wine_lost_starts(lines.service, cycle);
            auto lost_by_web_server = wine_lost_starts(lines.web_server, cycle);
            ASSERT_FALSE(HasFailure());
            ASSERT_FALSE(lost.empty() && lost_by_web_server.empty())
                << "a server did not start; " << census() << "\n"
                << describe(entries);
            wine_losses += lost[L"httpd.exe"] + lost[L"mysqld.exe"] +
                           lost_by_web_server[L"httpd.exe"] + lost_by_web_server[L"php-cgi.exe"];
            // A lost web server leaves out its worker too; a lost worker (the
            // parent's start of it) leaves out itself; either, both PHP
            // processes.
            const std::size_t lost_workers = lost[L"httpd.exe"] + lost_by_web_server[L"httpd.exe"];
            httpd_starts -= lost_workers + lost[L"httpd.exe"];
            mysqld_starts -= lost[L"mysqld.exe"];
            php_starts -= lost_by_web_server[L"php-cgi.exe"] + 2 * lost_workers;
            ASSERT_TRUE(started()) << "more is missing than Wine lost; " << census() << "\n"
                                   << describe(entries);
        }
        // Lines of this cycle's starts are not looked at again at the stop.
        traces.take_new();

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
        const std::optional<std::uint32_t> exit_code =
            wait_for_process(process.get(), kStateTimeout);
        ASSERT_TRUE(exit_code.has_value()) << "the service process did not end";
        const std::vector<ChildTraceEntry> stop_entries = traces.take_new().service;
        auto lost = wine_lost_starts(stop_entries, cycle);
        ASSERT_FALSE(HasFailure());
        wine_losses += lost[L"cmd.exe"] + lost[L"mysqladmin.exe"];
        // Without the database's stop program the service ends at once, as
        // designed, in the middle of the stop: what it had not stopped yet
        // still runs. Without a taskkill helper the web server still runs.
        const bool stop_cut_short = lost[L"mysqladmin.exe"] > 0;
        const bool web_stop_lost = lost[L"cmd.exe"] > 0;
        ASSERT_EQ(*exit_code, stop_cut_short ? platform::kFailFastExitStatus : 0u)
            << describe(stop_entries);
        // Wine's service manager leaves a service whose process ended during
        // STOP_PENDING in that state; only a completed stop must show STOPPED.
        if (!stop_cut_short) {
            ASSERT_TRUE(service.wait_for(ScmState::Stopped, kStateTimeout));
        }
        if (!stop_cut_short && !web_stop_lost && web_exit_checked) {
            ASSERT_EQ(count_processes(L"httpd.exe"), 0u) << "left behind";
            ASSERT_EQ(count_processes(L"php-cgi.exe"), 0u) << "left behind";
        }
        if (!stop_cut_short) {
            ASSERT_EQ(count_processes(L"mysqld.exe"), 0u) << "left behind";
        }
        // What a lost stop left running is ended here, so that the next
        // cycle starts clean.
        if (stop_cut_short || web_stop_lost) root.end_stand_ins();
    }
    if (!web_exit_checked) skip_web_process_exit_check();

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
        "soak: %d cycles; handles first %.0f last %.0f; working set first %.0f KiB last %.0f KiB; "
        "starts lost by Wine: %zu\n",
        total, median(first_handles), median(last_handles), median(first_memory),
        median(last_memory), wine_losses);
}

}  // namespace
}  // namespace rivelo::test
