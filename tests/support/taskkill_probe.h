#pragma once

namespace rivelo::test {

// Whether `taskkill /IM NAME /F` ends every process of that image name, as it
// does on Windows and Wine 8. Wine 10 ends only one of them, so there a check
// that every php-cgi.exe is gone after the web server's stop cannot hold.
// Decided once per test program by a probe: two processes of one image name,
// one taskkill.
bool taskkill_ends_every_process_of_a_name();

// Marks the current test as skipped, with the reason, for the check that
// every php-cgi.exe ended. The test goes on: its other checks still count,
// and a failure among them still fails it.
void skip_php_exit_check();

// Runs the checks that every php-cgi.exe ended where this system's taskkill
// can make them hold; elsewhere reports them skipped.
template <class Checks>
void check_php_processes_ended(Checks&& checks) {
    if (taskkill_ends_every_process_of_a_name()) {
        checks();
    } else {
        skip_php_exit_check();
    }
}

}  // namespace rivelo::test
