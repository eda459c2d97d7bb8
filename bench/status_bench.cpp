// Times rivelo_status.exe answering about a running service with the stand-in
// servers (each listening on a loopback port), as a user runs it: a new
// process each time, its output read through a pipe. Prints the median,
// fastest and slowest of N runs, the same for rivelo_svc.exe writing its
// banner (what starting a process and reading its output costs alone), and
// the size of the program file.
//
//   status_bench [--runs N] [--program FILE]
// FILE is the program as shipped (the built one unless given).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/loopback_port.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/service_manager.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTimeout = 30s;
constexpr wchar_t kServiceName[] = L"RiveloStatusBench";

struct Timing {
    double median = 0;
    double fastest = 0;
    double slowest = 0;
};

// Runs the program `runs` times; the times, and the last run's output.
Timing time_runs(const std::wstring& program, const std::wstring& command_line, int runs,
                 rivelo::test::ProgramRun& last) {
    rivelo::test::ProgramOptions run_options;
    run_options.command_line = command_line;
    std::vector<double> times_ms;
    for (int i = 0; i < runs; ++i) {
        const auto begin = Clock::now();
        last = rivelo::test::run_program(program, run_options);
        times_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    }
    std::sort(times_ms.begin(), times_ms.end());
    const std::size_t middle = times_ms.size() / 2;
    const double median =
        times_ms.size() % 2 == 1 ? times_ms[middle] : (times_ms[middle - 1] + times_ms[middle]) / 2;
    return {median, times_ms.front(), times_ms.back()};
}

struct Options {
    int runs = 20;
    std::wstring program = rivelo::test::built_program(L"rivelo_status.exe");
};

Options parse(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring flag = argv[i];
        if (flag == L"--runs") options.runs = std::stoi(argv[i + 1]);
        if (flag == L"--program") options.program = argv[i + 1];
    }
    return options;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const Options options = parse(argc, argv);
    rivelo::test::SampleRoot root;
    root.set_web_server_port(rivelo::test::free_loopback_port());
    root.set_database_port(rivelo::test::free_loopback_port());
    rivelo::test::ManagedService service(kServiceName,
                                         L"\"" + root.service_program() + L"\" start");
    if (!service.start() || !service.wait_for(rivelo::test::ScmState::Running, kTimeout)) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    // Every server process up: the parent and worker of the web server, two
    // PHP processes, the database.
    if (rivelo::test::SampleRoot::wait_for_records(root.httpd(), 2, kTimeout).size() != 2 ||
        rivelo::test::SampleRoot::wait_for_records(root.php_cgi(), 2, kTimeout).size() != 2 ||
        rivelo::test::SampleRoot::wait_for_records(root.mysqld(), 1, kTimeout).size() != 1) {
        std::fprintf(stderr, "the servers did not start\n");
        return 1;
    }

    rivelo::test::ProgramRun last;
    const Timing status =
        time_runs(options.program, rivelo::test::command_line_for(options.program, {kServiceName}),
                  options.runs, last);
    std::printf("last answer (exit status %u):\n%s\n", last.exit_code, last.out.c_str());
    const std::wstring banner_program = root.service_program();
    const Timing banner = time_runs(
        banner_program, rivelo::test::command_line_for(banner_program, {}), options.runs, last);
    (void)service.stop();
    (void)service.wait_for(rivelo::test::ScmState::Stopped, kTimeout);

    std::printf("runs: %d each\n", options.runs);
    std::printf("rivelo_status.exe, time to answer, ms: median %.1f, fastest %.1f, slowest %.1f\n",
                status.median, status.fastest, status.slowest);
    std::printf("rivelo_svc.exe banner (baseline), ms: median %.1f, fastest %.1f, slowest %.1f\n",
                banner.median, banner.fastest, banner.slowest);
    std::printf("program size, bytes: %llu\n",
                static_cast<unsigned long long>(std::filesystem::file_size(options.program)));
    return 0;
}
