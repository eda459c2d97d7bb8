// Can a thread that waits on a Guarded value return, and go on to destroy
// the value, while the writer that woke it is still inside write()? That is
// the shape of the end of the service: the last service main function leaves
// the process-wide host slot (a write), which wakes `run` on the main thread;
// the main thread may then return from wmain and run static destructors.
// Prints in how many rounds the waiter had returned before the writer's
// write() did.
//
//   guarded_wake_probe [--rounds N]
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "service/guarded.h"

namespace {

using rivelo::service::Guarded;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = 20000;
    if (argc == 3 && std::wstring(argv[1]) == L"--rounds") rounds = std::stoi(argv[2]);

    int early = 0;
    for (int round = 0; round < rounds; ++round) {
        Guarded<int> entries_running(1);
        std::atomic<bool> write_returned{false};
        std::thread leaving([&] {
            entries_running.write([](int& count) { --count; });
            write_returned = true;
        });
        entries_running.wait_until([](int count) { return count == 0; });
        if (!write_returned) ++early;  // destroying the value here would race the notify
        leaving.join();
    }
    std::printf("rounds %d, waiter returned while write() was still running: %d (%.2f %%)\n",
                rounds, early, 100.0 * early / rounds);
    return 0;
}
