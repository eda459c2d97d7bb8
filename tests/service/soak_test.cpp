// Many start and stop cycles of the real service in a row: every cycle must
// reach STOPPED within its bound and leave no server process behind, and the
// service's handle count and memory must not grow from cycle to cycle.
// RIVELO_SOAK_CYCLES sets the number of cycles (20 by default).
//
// Under heavy load Wine's start of a new process now and then dies before the
// program's own code runs; CreateProcessW then fails with ERROR_INTERNAL_ERROR.
// The service tries such a start again, so no child may be lost. The soak runs
// the service's traced build (the shipped code, with every start attempt
// written to a trace beside the program), and the web server stand-in traces
// its worker and PHP processes the same way: the traces count the starts the service had
// to try again and name any child lost, which fails the soak. The one loss
// outside the service, StartServiceW refused with ERROR_INTERNAL_ERROR (Wine's
// service manager starts the service process with CreateProcessW), is retried
// once, as a user would start the service again, and counted.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/system_error.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "servers/child_start_retry.h"
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
constexpr DWORD kWineStartDied = ERROR_INTERNAL_ERROR;

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

std::string describe(const std::vector<ChildTraceEntry>& entries) {
    std::string text = "child trace:";
    for (const ChildTraceEntry& entry : entries) text += "\n  " + describe(entry);
    return text;
}

// Judges the traces of the traced service and of the web server stand-ins.
// In the service's trace, failed starts of one program ended by a started
// record of it are one start that the service tried again. A failure that the
// service does not try again, failed starts that reach its last attempt, and
// failed starts that nothing ends by the end of the cycle are a child lost.
// The stand-ins do not try again: each failed start in their trace is a child
// lost.
class ChildStarts {
public:
    explicit ChildStarts(const SampleRoot& root)
        : service_(root.service_program()), stand_in_(root.httpd()) {}

    // Reads the lines written since the last look.
    void read_new() {
        for (const ChildTraceEntry& entry : take_new(service_)) {
            cycle_lines_.push_back(entry);
            if (entry.kind == ChildTraceEntry::Kind::Failed) {
                const bool tried_again =
                    servers::is_passing_start_failure(platform::win32_error(entry.number));
                if (!tried_again || ++failed_in_a_row_[entry.detail] == servers::kStartAttempts) {
                    ++lost_;
                    failed_in_a_row_.erase(entry.detail);
                }
            } else if (entry.kind == ChildTraceEntry::Kind::Started &&
                       failed_in_a_row_.erase(entry.detail) > 0) {
                ++retried_;
            }
        }
        for (const ChildTraceEntry& entry : take_new(stand_in_)) {
            cycle_lines_.push_back(entry);
            if (entry.kind == ChildTraceEntry::Kind::Failed) ++lost_;
        }
    }

    // Once the service process has ended: a start still failing was given up.
    // Returns the cycle's lines, for reports, and begins the next cycle.
    std::vector<ChildTraceEntry> end_cycle() {
        read_new();
        lost_ += failed_in_a_row_.size();
        failed_in_a_row_.clear();
        return std::exchange(cycle_lines_, {});
    }

    [[nodiscard]] const std::vector<ChildTraceEntry>& cycle_lines() const { return cycle_lines_; }
    [[nodiscard]] std::size_t lost() const { return lost_; }
    [[nodiscard]] std::size_t retried() const { return retried_; }

private:
    struct Trace {
        std::wstring program;
        std::size_t seen = 0;
    };

    static std::vector<ChildTraceEntry> take_new(Trace& trace) {
        std::vector<ChildTraceEntry> all = read_child_trace(trace.program);
        all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(trace.seen));
        trace.seen += all.size();
        return all;
    }

    Trace service_;
    Trace stand_in_;
    std::map<std::wstring, int> failed_in_a_row_;
    std::size_t lost_ = 0;
    std::vector<ChildTraceEntry> cycle_lines_;
    std::size_t retried_ = 0;
};

// What runs now, for the report of a server that did not start.
std::string census() {
    std::string text = "running:";
    for (const wchar_t* name : {L"httpd.exe", L"php-cgi.exe", L"mysqld.exe", L"rivelo_svc.exe"})
        text += " " + platform::to_utf8(name) + " " + std::to_string(count_processes(name));
    return text;
}

// The soak's figures, written as its last lines however it ends.
struct SoakCount {
    const int total;
    const ChildStarts& starts;
    int cycles = 0;
    std::size_t service_starts_retried = 0;

    ~SoakCount() {
        std::printf("soak: cycles: %d of %d\n", cycles, total);
        std::printf("soak: servers, stop programs and PHP processes lost: %zu (must be 0)\n",
                    starts.lost());
        std::printf("soak: starts retried by the service: %zu\n", starts.retried());
        std::printf("soak: service starts retried by the soak: %zu\n", service_starts_retried);
    }
};

TEST(Soak, RepeatedStartAndStopLeavesNothingBehindAndDoesNotGrow) {
    SampleRoot root;
    copy_file(built_program(L"rivelo_svc_traced.exe"), root.service_program());
    ManagedService service(
        L"RiveloSoak", L"\"" + root.service_program() + L"\" start -w \"" + root.path() + L"\"");
    const int total = cycles();
    std::vector<CycleFigures> figures;
    const bool web_exit_checked = taskkill_ends_every_process_of_a_name();
    ChildStarts starts(root);
    SoakCount count{total, starts};
    // The start records there must be by now.
    std::size_t httpd_starts = 0;
    std::size_t mysqld_starts = 0;
    std::size_t php_starts = 0;

    for (int cycle = 1; cycle <= total; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        if (!service.start()) {
            const DWORD start_error = GetLastError();
            ASSERT_EQ(start_error, kWineStartDied) << "StartServiceW failed";
            std::printf(
                "soak: cycle %d: Wine lost the start of the service (StartServiceW: %lu); "
                "starting it again\n",
                cycle, start_error);
            ++count.service_starts_retried;
            ASSERT_TRUE(service.start()) << "StartServiceW failed again: " << GetLastError();
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
            starts.read_new();
            FAIL() << "a server did not start; " << census() << "\n"
                   << describe(starts.cycle_lines());
        }

        CycleFigures now;
        // Wine gives no handle count for another process (0); only a real
        // count is compared.
        if (!GetProcessHandleCount(process.get(), &now.handles)) now.handles = 0;
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(process.get(), &counters, sizeof counters);
        now.working_set_kib = static_cast<double>(counters.WorkingSetSize) / 1024.0;
        figures.push_back(now);

        if (!service.stop()) {
            const DWORD stop_error = GetLastError();
            starts.read_new();
            FAIL() << "the stop control failed with error " << stop_error << "; " << census()
                   << "\n"
                   << describe(starts.cycle_lines());
        }
        const std::optional<std::uint32_t> exit_code =
            wait_for_process(process.get(), kStateTimeout);
        ASSERT_TRUE(exit_code.has_value()) << "the service process did not end";
        const std::vector<ChildTraceEntry> lines = starts.end_cycle();
        ASSERT_EQ(starts.lost(), 0u) << describe(lines);
        ASSERT_EQ(*exit_code, 0u) << describe(lines);
        ASSERT_TRUE(service.wait_for(ScmState::Stopped, kStateTimeout));
        if (web_exit_checked) {
            ASSERT_EQ(count_processes(L"httpd.exe"), 0u) << "left behind";
            ASSERT_EQ(count_processes(L"php-cgi.exe"), 0u) << "left behind";
        }
        ASSERT_EQ(count_processes(L"mysqld.exe"), 0u) << "left behind";
        count.cycles = cycle;
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
    std::printf("soak: handles first %.0f last %.0f; working set first %.0f KiB last %.0f KiB\n",
                median(first_handles), median(last_handles), median(first_memory),
                median(last_memory));
}

}  // namespace
}  // namespace rivelo::test
