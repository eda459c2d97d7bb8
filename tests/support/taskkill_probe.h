#pragma once

namespace rivelo::test {

// Whether `taskkill /IM NAME /F` ends every process of that image name, as it
// does on Windows and Wine 8. Wine 10 ends only one of them (the oldest), so
// there a check that every httpd.exe (the web server's parent and worker) and
// every php-cgi.exe is gone after the web server's stop cannot hold.
// Decided once per test program by a probe: two processes of one image name,
// one taskkill.
bool taskkill_ends_every_process_of_a_name();

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
