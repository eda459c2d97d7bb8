// Starts and stops the real service over and over with the stand-in servers,
// sending several stop requests close together at each stop while the state
// is polled without pause, as the benchmark does: a search for a stop request
// that never returns. Every StartServiceW and ControlService runs under the
// test watchdog, so such a hang ends the run (status 1) with what was seen.
// Prints how the stop requests were answered and the longest one.
//
//   stop_stress [--cycles N] [--stoppers K]     (defaults: 50 cycles, 3 stoppers)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "support/sample_root.h"
#include "support/service_manager.h"

namespace {

using namespace std::chrono_literals;
using rivelo::test::ManagedService;
using rivelo::test::SampleRoot;
using rivelo::test::ScmState;
using Clock = std::chrono::steady_clock;

constexpr auto kTimeout = 60s;

struct Options {
    int cycles = 50;
    int stoppers = 3;
};

Options parse(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring flag = argv[i];
        if (flag == L"--cycles") options.cycles = std::stoi(argv[i + 1]);
        if (flag == L"--stoppers") options.stoppers = std::stoi(argv[i + 1]);
    }
    return options;
}

// How the stop requests were answered: 0 for success, else the error.
struct Answers {
    std::mutex lock;
    std::map<DWORD, int> by_error;
    double longest_ms = 0;

    void add(DWORD error, double ms) {
        const std::lock_guard<std::mutex> hold(lock);
        ++by_error[error];
        longest_ms = std::max(longest_ms, ms);
    }
};

void wait_until(const ManagedService& service, ScmState state) {
    const auto deadline = Clock::now() + kTimeout;
    // No pause, as in the benchmark: status queries run beside the stop.
    while (service.query().state != static_cast<std::uint32_t>(state)) {
        if (Clock::now() > deadline) throw std::runtime_error("service state not reached");
    }
}

void run_cycle(ManagedService& service, const Options& options, int cycle, Answers& answers) {
    if (!service.start()) {
        std::fprintf(stderr, "cycle %d: StartServiceW failed, error %lu\n", cycle, GetLastError());
        return;
    }
    wait_until(service, ScmState::Running);
    const rivelo::platform::UniqueHandle process =
        rivelo::test::open_process(service.query().process_id);
    // Vary the moment of the stop: right at RUNNING, or once the servers run.
    std::this_thread::sleep_for(std::chrono::milliseconds((cycle % 5) * 100));

    std::vector<std::thread> stoppers;
    for (int i = 0; i < options.stoppers; ++i) {
        stoppers.emplace_back([&service, &answers] {
            const auto sent = Clock::now();
            const bool done = service.control(SERVICE_CONTROL_STOP);
            const DWORD error = done ? ERROR_SUCCESS : GetLastError();
            answers.add(error,
                        std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        });
    }
    wait_until(service, ScmState::Stopped);
    for (auto& stopper : stoppers) stopper.join();
    if (process.valid() && !rivelo::test::wait_for_process(process.get(), kTimeout)) {
        throw std::runtime_error("the service process did not end");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const Options options = parse(argc, argv);
    Answers answers;
    try {
        SampleRoot root;
        ManagedService service(L"RiveloStopStress", L"\"" + root.service_program() +
                                                        L"\" start -w \"" + root.path() + L"\"");
        for (int cycle = 1; cycle <= options.cycles; ++cycle) {
            run_cycle(service, options, cycle, answers);
            if (cycle % 10 == 0) std::fprintf(stderr, "%d cycles done\n", cycle);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "stop stress failed: %s\n", failure.what());
        return 1;
    }
    std::printf("%d cycles, %d stop requests at each; answers:\n", options.cycles,
                options.stoppers);
    for (const auto& [error, count] : answers.by_error) {
        std::printf("  %s %lu: %d\n", error == ERROR_SUCCESS ? "success" : "error",
                    static_cast<unsigned long>(error), count);
    }
    std::printf("longest stop request: %.0f ms\n", answers.longest_ms);
    return 0;
}
