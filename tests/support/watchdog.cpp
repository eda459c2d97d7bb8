#include "support/watchdog.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <thread>

namespace rivelo::test {

namespace {

// How long the look at the state may take once the call is taken as hung.
constexpr std::chrono::seconds kLookBound{30};

struct Outcome {
    bool result = false;
    DWORD last_error = 0;
};

std::string look(const std::function<std::string()>& seen) {
    std::packaged_task<std::string()> task(seen);
    std::future<std::string> looked = task.get_future();
    // Detached: it may block as the call did, and the program ends anyway.
    std::thread(std::move(task)).detach();
    if (looked.wait_for(kLookBound) != std::future_status::ready) {
        return "the state could not be read either (no answer within " +
               std::to_string(kLookBound.count()) + " s)";
    }
    try {
        return looked.get();
    } catch (const std::exception& failure) {
        return std::string("the state could not be read: ") + failure.what();
    }
}

[[noreturn]] void end_hung_run(const std::string& what, std::chrono::milliseconds bound,
                               const std::function<std::string()>& seen) {
    const std::string state = look(seen);
    std::fprintf(stderr, "%s has not returned after %.1f s; %s\n", what.c_str(),
                 static_cast<double>(bound.count()) / 1000.0, state.c_str());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace

bool call_with_watchdog(const std::string& what, std::chrono::milliseconds bound,
                        const std::function<bool()>& call,
                        const std::function<std::string()>& seen) {
    std::packaged_task<Outcome()> task([&call] {
        const bool result = call();
        return Outcome{result, GetLastError()};
    });
    std::future<Outcome> returned = task.get_future();
    std::thread worker(std::move(task));
    if (returned.wait_for(bound) != std::future_status::ready) end_hung_run(what, bound, seen);
    worker.join();
    const Outcome outcome = returned.get();
    SetLastError(outcome.last_error);
    return outcome.result;
}

}  // namespace rivelo::test
