// Runs the real service under the service control manager with the stand-in
// servers and prints start latency, stop overhead, idle cost and size, as
// medians over several runs; writes the same figures as one JSON file.
//
//   service_bench [--runs N] [--idle-seconds S] [--json FILE]
//                 [--shipped-program FILE] [--zip FILE]
// The sizes are those of the program as shipped (the built one unless
// given) and of the release zip (when given).
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/service_manager.h"
#include "support/taskkill_probe.h"

namespace {

using namespace std::chrono_literals;
using rivelo::platform::UniqueHandle;
using rivelo::test::ManagedService;
using rivelo::test::SampleRoot;
using rivelo::test::ScmState;
using Clock = std::chrono::steady_clock;

constexpr auto kTimeout = 30s;

struct Options {
    int runs = 5;
    int idle_seconds = 10;
    std::wstring json = L"bench-results.json";
    std::wstring shipped_program = rivelo::test::built_program(L"rivelo_svc.exe");
    std::wstring zip;
    // False on a Wine whose taskkill /IM ends one process of a name per call
    // (Wine 10): there the web server's worker and a php-cgi.exe outlive the
    // stop, and the stop is timed up to the servers the service started
    // itself (SampleRoot ends what is left afterwards).
    bool web_processes_end_at_stop = true;
};

struct Figures {
    std::vector<double> start_to_running_ms, start_to_servers_ms;
    std::vector<double> stop_overhead_ms, own_stop_overhead_ms, stop_total_ms, admin_runs_per_stop;
    std::vector<double> idle_cpu_percent, startup_cpu_ms, service_memory_kib, baseline_memory_kib;
};

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

std::wstring service_name(const wchar_t* base) {
    static int counter = 0;
    return std::wstring(base) + std::to_wstring(counter++);
}

// Polls the state without sleeping, so the moment it changes is seen at once.
Clock::time_point spin_until(const ManagedService& service, ScmState state) {
    const auto deadline = Clock::now() + kTimeout;
    while (service.query().state != static_cast<std::uint32_t>(state)) {
        if (Clock::now() > deadline) throw std::runtime_error("service state not reached");
    }
    return Clock::now();
}

Clock::time_point spin_until_started(const std::wstring& program) {
    const auto deadline = Clock::now() + kTimeout;
    while (rivelo::test::read_start_records(program).empty()) {
        if (Clock::now() > deadline) throw std::runtime_error("server did not start");
        std::this_thread::yield();
    }
    return Clock::now();
}

double cpu_seconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    const auto ticks = [](FILETIME t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

// The system time now, and when a process exited, in 100 ns units.
std::uint64_t system_time_now() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::uint64_t exit_time(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<std::uint64_t>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime;
}

// Collects handles on the stop helpers (cmd.exe, taskkill.exe, mysqladmin.exe)
// while a stop runs, so that their exit times can be read afterwards.
class HelperWatch {
public:
    HelperWatch() : thread_([this] { watch(); }) {}
    ~HelperWatch() { finish(); }

    std::vector<UniqueHandle>& finish() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
        return helpers_;
    }

private:
    void watch() {
        std::vector<DWORD> seen;
        while (!done_) {
            UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
            PROCESSENTRY32W entry{};
            entry.dwSize = sizeof entry;
            for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
                 more = Process32NextW(snapshot.get(), &entry)) {
                const bool helper = _wcsicmp(entry.szExeFile, L"cmd.exe") == 0 ||
                                    _wcsicmp(entry.szExeFile, L"taskkill.exe") == 0 ||
                                    _wcsicmp(entry.szExeFile, L"mysqladmin.exe") == 0;
                if (!helper ||
                    std::find(seen.begin(), seen.end(), entry.th32ProcessID) != seen.end())
                    continue;
                seen.push_back(entry.th32ProcessID);
                UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                 FALSE, entry.th32ProcessID));
                if (process) helpers_.push_back(std::move(process));
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::atomic<bool> done_{false};
    std::vector<UniqueHandle> helpers_;
    std::thread thread_;
};

double file_size_kib(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        throw std::runtime_error("cannot read the size of a file");
    }
    return static_cast<double>(attributes.nFileSizeLow) / 1024.0;
}

double working_set_kib(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
    return static_cast<double>(counters.WorkingSetSize) / 1024.0;
}

void measure_one_run(const Options& options, Figures& figures, bool measure_idle) {
    SampleRoot root;
    ManagedService service(service_name(L"RiveloBench"),
                           quoted(root.service_program()) + L" start -w " + quoted(root.path()));

    const auto requested = Clock::now();
    if (!service.start()) throw std::runtime_error("StartService failed");
    const auto running = spin_until(service, ScmState::Running);
    const auto web_up = spin_until_started(root.httpd());
    const auto database_up = spin_until_started(root.mysqld());
    figures.start_to_running_ms.push_back(ms_between(requested, running));
    figures.start_to_servers_ms.push_back(ms_between(requested, std::max(web_up, database_up)));

    UniqueHandle service_process = rivelo::test::open_process(service.query().process_id);
    // Every server process: the web server, its PHP processes, the database.
    root.wait_for_records(root.php_cgi(), 2, kTimeout);
    std::vector<UniqueHandle> servers;
    std::vector<HANDLE> awaited;  // the servers the stop is timed up to
    const std::uint32_t service_pid = service.query().process_id;
    for (const std::wstring& program : {root.httpd(), root.php_cgi(), root.mysqld()}) {
        for (const auto& record : rivelo::test::read_start_records(program)) {
            servers.push_back(rivelo::test::open_process(record.pid));
            if (options.web_processes_end_at_stop || record.parent_pid == service_pid) {
                awaited.push_back(servers.back().get());
            }
        }
    }

    if (measure_idle) {
        std::this_thread::sleep_for(1s);  // let start-up settle
        const double cpu_before = cpu_seconds(service_process.get());
        figures.startup_cpu_ms.push_back(cpu_before * 1000.0);
        std::this_thread::sleep_for(std::chrono::seconds(options.idle_seconds));
        const double cpu_after = cpu_seconds(service_process.get());
        figures.idle_cpu_percent.push_back((cpu_after - cpu_before) / options.idle_seconds * 100.0);
        figures.service_memory_kib.push_back(working_set_kib(service_process.get()));
    }

    // ControlService returns only once the handler has returned, that is after
    // the whole stop: send it from another thread and watch the servers here.
    HelperWatch helper_watch;
    const auto stop_requested = Clock::now();
    std::thread stopper([&] { (void)service.stop(); });
    WaitForMultipleObjects(static_cast<DWORD>(awaited.size()), awaited.data(), TRUE,
                           static_cast<DWORD>(kTimeout / 1ms));
    const auto servers_exited = Clock::now();
    const auto stopped = spin_until(service, ScmState::Stopped);
    const std::uint64_t stopped_at = system_time_now();
    stopper.join();
    // The last child of the stop, server or stop helper, to exit.
    std::uint64_t last_exit = 0;
    for (const auto& server : servers) {
        if (WaitForSingleObject(server.get(), 0) == WAIT_OBJECT_0)
            last_exit = std::max(last_exit, exit_time(server.get()));
    }
    for (const auto& helper : helper_watch.finish()) {
        WaitForSingleObject(helper.get(), static_cast<DWORD>(kTimeout / 1ms));
        last_exit = std::max(last_exit, exit_time(helper.get()));
    }
    figures.own_stop_overhead_ms.push_back(static_cast<double>(stopped_at - last_exit) / 1e4);
    rivelo::test::wait_for_process(service_process.get(), kTimeout);
    figures.stop_overhead_ms.push_back(ms_between(servers_exited, stopped));
    figures.stop_total_ms.push_back(ms_between(stop_requested, stopped));
    figures.admin_runs_per_stop.push_back(
        static_cast<double>(rivelo::test::read_start_records(root.mysqladmin()).size()));
}

double baseline_memory_kib() {
    ManagedService service(service_name(L"RiveloBaseline"),
                           quoted(rivelo::test::built_program(L"idle_service.exe")));
    if (!service.start()) throw std::runtime_error("StartService failed for the baseline");
    spin_until(service, ScmState::Running);
    UniqueHandle process = rivelo::test::open_process(service.query().process_id);
    std::this_thread::sleep_for(1s);
    const double kib = working_set_kib(process.get());
    (void)service.stop();
    spin_until(service, ScmState::Stopped);
    rivelo::test::wait_for_process(process.get(), kTimeout);
    return kib;
}

Options parse(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring flag = argv[i];
        if (flag == L"--runs") options.runs = std::stoi(argv[i + 1]);
        if (flag == L"--idle-seconds") options.idle_seconds = std::stoi(argv[i + 1]);
        if (flag == L"--json") options.json = argv[i + 1];
        if (flag == L"--shipped-program") options.shipped_program = argv[i + 1];
        if (flag == L"--zip") options.zip = argv[i + 1];
    }
    return options;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options = parse(argc, argv);
    Figures figures;
    std::vector<double> program_kib, zip_kib;
    try {
        const std::optional<int> left_by_taskkill = rivelo::test::processes_left_by_one_taskkill();
        if (!left_by_taskkill)
            throw std::runtime_error("the taskkill probe's processes did not start");
        options.web_processes_end_at_stop = *left_by_taskkill == 0;
        for (int run = 0; run < options.runs; ++run) {
            // The idle cost is measured on the first run only: it takes the longest.
            measure_one_run(options, figures, run == 0);
            std::fprintf(stderr, "run %d of %d done\n", run + 1, options.runs);
        }
        figures.baseline_memory_kib.push_back(baseline_memory_kib());
        program_kib.push_back(file_size_kib(options.shipped_program));
        if (!options.zip.empty()) zip_kib.push_back(file_size_kib(options.zip));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "benchmark failed: %s\n", failure.what());
        return 1;
    }

    struct Row {
        const char* key;
        const char* label;
        const std::vector<double>& values;
        const char* unit;
    };
    const Row rows[] = {
        {"start_to_running_ms", "start request to RUNNING", figures.start_to_running_ms, "ms"},
        {"start_to_servers_ms", "start request to both servers running",
         figures.start_to_servers_ms, "ms"},
        {"stop_overhead_ms", "last server exit to STOPPED", figures.stop_overhead_ms, "ms"},
        {"own_stop_overhead_ms", "last server or stop helper exit to STOPPED",
         figures.own_stop_overhead_ms, "ms"},
        {"stop_total_ms", "stop request to STOPPED", figures.stop_total_ms, "ms"},
        {"admin_runs_per_stop", "mysqladmin runs per stop", figures.admin_runs_per_stop, "runs"},
        {"startup_cpu_ms", "service CPU time from start to idle", figures.startup_cpu_ms, "ms"},
        {"idle_cpu_percent", "idle CPU over the idle period (% of one core)",
         figures.idle_cpu_percent, "%"},
        {"service_memory_kib", "service working set", figures.service_memory_kib, "KiB"},
        {"baseline_memory_kib", "empty service working set", figures.baseline_memory_kib, "KiB"},
        {"executable_size_kib", "rivelo_svc.exe size as shipped", program_kib, "KiB"},
        {"zip_size_kib", "release zip size", zip_kib, "KiB"},
    };
    std::printf(
        "rivelo_svc benchmark: median and min..max over %d runs (idle period %d s; idle CPU,\n"
        "start-up CPU and working sets from the first run only)\n",
        options.runs, options.idle_seconds);
    if (!options.web_processes_end_at_stop) {
        std::printf(
            "(this Wine's taskkill /IM ends one process of a name per call, where Windows ends\n"
            "every one: the web server's worker and a php-cgi.exe outlive each stop, which is\n"
            "timed up to the exit of the servers the service started)\n");
    }
    std::ofstream json(std::filesystem::path(options.json));
    json << "{\n  \"runs\": " << options.runs << ",\n  \"idle_seconds\": " << options.idle_seconds;
    for (const Row& row : rows) {
        if (row.values.empty()) continue;
        std::printf("  %-48s %10.3f %s", row.label, median(row.values), row.unit);
        json << ",\n  \"" << row.key << "\": " << median(row.values);
        if (row.values.size() > 1) {
            const auto [low, high] = std::minmax_element(row.values.begin(), row.values.end());
            std::printf("  (%.3f .. %.3f)", *low, *high);
            json << ",\n  \"" << row.key << "_range\": [" << *low << ", " << *high << "]";
        }
        std::printf("\n");
    }
    json << "\n}\n";
    return 0;
}
