#pragma once

#include <optional>

namespace rivelo::test {

// How many processes the taskkill probe starts, all of one image name.
inline constexpr int kTaskkillProbeProcesses = 2;

// Starts kTaskkillProbeProcesses processes of one image name, runs one
// `taskkill /IM NAME /F` and returns how many of them it left running (ended
// afterwards by the probe itself): 0 on Windows and Wine 8, 1 on Wine 10,
// whose taskkill ends one process per /IM. Empty when they did not all start.
std::optional<int> processes_left_by_one_taskkill();

// Whether `taskkill /IM NAME /F` ends every process of that image name, so
// that a check that every httpd.exe (the web server's parent and worker) and
// every php-cgi.exe is gone after the web server's stop can hold. Decided once
// per test program by the probe above; a probe that cannot start its
// processes fails the current test.
bool taskkill_ends_every_process_of_a_name();

// Whether `taskkill /IM NAME /F` leaves a process whose first thread never
// ran: one created suspended, as a child stays when its creator is ended
// inside CreateProcessW under Wine (kernelbase CreateProcessInternalW resumes
// the thread only after the new process has started up). Wine 8's taskkill
// names a process from the loader's module list inside it
// (get_process_name_from_pid in programs/taskkill/taskkill.c), which such a
// process has not built; Windows names it from the system's list. Decided
// once per test program, by a probe that starts one such process and runs
// one taskkill.
bool taskkill_misses_a_process_that_never_ran();

// Marks the current test as skipped, with the reason, for the check that
// every httpd.exe and php-cgi.exe ended. The test goes on: its other checks
// still count, and a failure among them still fails it.
void skip_web_process_exit_check();

// Runs the checks that every httpd.exe and php-cgi.exe ended where this
// system's taskkill can make them hold; elsewhere reports them skipped.
template <class Checks>
void check_web_processes_ended(Checks&& checks) {
    if (taskkill_ends_every_process_of_a_name()) {
        checks();
    } else {
        skip_web_process_exit_check();
    }
}

}  // namespace rivelo::test
