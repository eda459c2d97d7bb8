#include "support/taskkill_probe.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/patience.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/scratch_dir.h"
#include "support/watched_process.h"

namespace rivelo::test {

namespace {

// An image name nothing else in the prefix uses; the program is the PHP
// stand-in, which runs until it is ended.
constexpr wchar_t kProbeImage[] = L"rivelo_taskkill_probe.exe";
constexpr wchar_t kSuspendedProbeImage[] = L"rivelo_suspended_probe.exe";
constexpr wchar_t kCommandInterpreter[] = L"C:\\Windows\\System32\\cmd.exe";

void taskkill_by_image_name(const wchar_t* image) {
    ProgramOptions taskkill;
    taskkill.command_line =
        command_line_for(kCommandInterpreter, {L"/C", L"taskkill", L"/IM", image, L"/F"});
    run_program(kCommandInterpreter, taskkill);
}

}  // namespace

std::optional<int> processes_left_by_one_taskkill() {
    const ScratchDir scratch;
    const std::wstring program = scratch / kProbeImage;
    copy_file(built_program(L"php-cgi.exe"), program);
    std::vector<WatchedProcess> processes;
    processes.reserve(kTaskkillProbeProcesses);
    for (int i = 0; i < kTaskkillProbeProcesses; ++i) processes.push_back(start_process(program));
    // Both have started for certain once both have written their records.
    const bool started =
        SampleRoot::wait_for_records(program, kTaskkillProbeProcesses, kPatience).size() ==
        kTaskkillProbeProcesses;

    std::optional<int> left;
    if (started) {
        taskkill_by_image_name(kProbeImage);
        left = 0;
        for (const WatchedProcess& process : processes) {
            if (!process.exits_within(kPatience)) ++*left;
        }
    }
    for (const WatchedProcess& process : processes) {
        if (process.running()) process.terminate();
    }
    return left;
}

bool taskkill_ends_every_process_of_a_name() {
    static const std::optional<int> left = processes_left_by_one_taskkill();
    if (!left) ADD_FAILURE() << "the taskkill probe's processes did not start";
    return left == 0;
}

bool taskkill_misses_a_process_that_never_ran() {
    static const bool missed = [] {
        const ScratchDir scratch;
        const std::wstring program = scratch / kSuspendedProbeImage;
        copy_file(built_program(L"php-cgi.exe"), program);
        const WatchedProcess process = start_process(program, CREATE_SUSPENDED);
        if (!process.running()) {
            ADD_FAILURE() << "the suspended probe's process did not start";
            return false;
        }
        taskkill_by_image_name(kSuspendedProbeImage);
        const bool left = !process.exits_within(kPatience);
        if (left) process.terminate();
        return left;
    }();
    return missed;
}

void skip_web_process_exit_check() {
    GTEST_SKIP()
        << "skipped on this platform: the check that every httpd.exe and php-cgi.exe ended; "
           "this system's taskkill /IM ends only one process of a name (probe: two running, one "
           "taskkill, one left), as Wine 10 does";
}

}  // namespace rivelo::test
