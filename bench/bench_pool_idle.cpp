// What the server tasks cost while the service runs, and how fast they let go
// at the stop. Prints:
//  - the processor time this process uses while three pool tasks wait for the
//    stop, with the blocking wait of the run state next to tasks that re-read
//    it without pause;
//  - the time from write(StopPending) to the return of join with three waiting
//    tasks, over many rounds.
//
//   bench_pool_idle [--seconds S] [--rounds N]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "service/run_state.h"
#include "service/worker_pool.h"

namespace {

using rivelo::service::RunState;
using rivelo::service::RunStateRef;
using rivelo::service::ServiceState;
using rivelo::service::WorkerPool;
using Clock = std::chrono::steady_clock;

// The service's pool range and its number of long-lived tasks.
constexpr std::uint32_t kMinimumThreads = 2;
constexpr std::uint32_t kMaximumThreads = 3;
constexpr int kTasks = 3;
// Lets the tasks reach their wait before the stop is timed.
constexpr std::chrono::milliseconds kSettle{5};

struct Options {
    int seconds = 10;
    int rounds = 200;
};

Options parse(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const int value = std::stoi(argv[i + 1]);
        if (name == L"--seconds") options.seconds = value;
        if (name == L"--rounds") options.rounds = value;
    }
    return options;
}

// User and kernel time of this process so far.
std::chrono::duration<double> process_cpu_time() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return std::chrono::duration<double>(static_cast<double>(ticks(kernel) + ticks(user)) / 1e7);
}

WorkerPool service_pool() {
    WorkerPool pool = WorkerPool::create();
    pool.set_thread_range(kMinimumThreads, kMaximumThreads);
    return pool;
}

// Submits kTasks copies of the wait and returns once all of them are running.
void start_tasks(WorkerPool& pool, const std::function<void()>& wait) {
    std::atomic<int> started{0};
    for (int task = 0; task < kTasks; ++task) {
        pool.submit([wait, &started] {
            ++started;
            wait();
        });
    }
    while (started < kTasks) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(kSettle);
}

// Processor seconds used while kTasks tasks wait `seconds` for the stop.
double idle_cpu_seconds(int seconds, const std::function<void(const RunStateRef&)>& wait) {
    WorkerPool pool = service_pool();
    const RunStateRef run_state = RunState::create(ServiceState::Running);
    start_tasks(pool, [run_state, &wait] { wait(run_state); });
    const auto before = process_cpu_time();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto used = process_cpu_time() - before;
    run_state->write(ServiceState::StopPending);
    pool.join();
    return used.count();
}

void report_idle_cost(int seconds) {
    const double blocking =
        idle_cpu_seconds(seconds, [](const RunStateRef& run_state) { run_state->wait_for_stop(); });
    const double polling = idle_cpu_seconds(seconds, [](const RunStateRef& run_state) {
        while (run_state->read() != ServiceState::StopPending) {
        }
    });
    const auto per_task = [seconds](double cpu) { return 100.0 * cpu / (seconds * kTasks); };
    std::printf("processor time of the process while %d pool tasks wait %d s for the stop\n",
                kTasks, seconds);
    std::printf("  blocking wait (wait_for_stop)   %9.3f s  %6.2f %% of a core per task\n",
                blocking, per_task(blocking));
    std::printf("  re-reading without pause (read) %9.3f s  %6.2f %% of a core per task\n", polling,
                per_task(polling));
    std::printf("  (this machine has %u logical processors)\n",
                std::thread::hardware_concurrency());
}

void report_stop_latency(int rounds) {
    WorkerPool pool = service_pool();
    std::vector<double> micros;
    for (int round = 0; round < rounds; ++round) {
        const RunStateRef run_state = RunState::create(ServiceState::Running);
        start_tasks(pool, [run_state] { run_state->wait_for_stop(); });
        const auto from = Clock::now();
        run_state->write(ServiceState::StopPending);
        pool.join();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - from).count());
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double share) {
        return micros[static_cast<std::size_t>(share * static_cast<double>(micros.size() - 1))];
    };
    std::printf("write(StopPending) to the return of join, %d waiting tasks, %d rounds\n", kTasks,
                rounds);
    std::printf("  median %.0f us   min %.0f us   90th percentile %.0f us   max %.0f us\n", at(0.5),
                micros.front(), at(0.9), micros.back());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const Options options = parse(argc, argv);
    report_idle_cost(options.seconds);
    if (options.rounds > 0) report_stop_latency(options.rounds);
    return 0;
}
