// Times rivelo_status.exe answering about a running service with the stand-in
// servers (each listening on a loopback port), as a user runs it: a new
// process each time, its output read through a pipe. Prints the median,
// fastest and slowest of N runs, and the size of the program file.
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

    rivelo::test::ProgramOptions run_options;
    run_options.command_line = rivelo::test::command_line_for(options.program, {kServiceName});
    std::vector<double> times_ms;
    std::uint32_t exit_code = 0;
    std::string output;
    for (int i = 0; i < options.runs; ++i) {
        const auto begin = Clock::now();
        const rivelo::test::ProgramRun run =
            rivelo::test::run_program(options.program, run_options);
        times_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        exit_code = run.exit_code;
        output = run.out;
    }
    (void)service.stop();
    (void)service.wait_for(rivelo::test::ScmState::Stopped, kTimeout);

    std::sort(times_ms.begin(), times_ms.end());
    const double median =
        times_ms.size() % 2 == 1
            ? times_ms[times_ms.size() / 2]
            : (times_ms[times_ms.size() / 2 - 1] + times_ms[times_ms.size() / 2]) / 2;
    std::printf("last answer (exit status %u):\n%s\n", exit_code, output.c_str());
    std::printf("runs: %zu\n", times_ms.size());
    std::printf("time to answer, ms: median %.1f, fastest %.1f, slowest %.1f\n", median,
                times_ms.front(), times_ms.back());
    std::printf("program size, bytes: %llu\n",
                static_cast<unsigned long long>(std::filesystem::file_size(options.program)));
    return 0;
}
