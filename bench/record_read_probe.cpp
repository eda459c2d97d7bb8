// Stress probe for the stand-ins' start records: writer processes write
// records as fast as they can (each written under a temporary name and
// renamed), while this process reads and takes them as fast as it can, the
// way the tests wait for them. Prints how many records were written, how many
// were read whole, how many came back blank or partly filled (a miscount: the
// tests would count them as servers that started), and how many were never
// seen.
//
//   record_read_probe [--writers W] [--records N] [--pause-ms P]
// P is each writer's pause between two records, so that the reader keeps up
// and reads each record soon after its rename, as the tests' waits do.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "start_record.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "support/start_record.h"

namespace {

using rivelo::platform::UniqueHandle;
using rivelo::test::StartRecord;

constexpr wchar_t kWriteMode[] = L"--write";
constexpr wchar_t kProbeCopy[] = L"record_read_probe.exe";

struct Options {
    int writers = 2;
    int records = 2000;
    int pause_ms = 2;
};

Options parse(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const int value = std::stoi(argv[i + 1]);
        if (name == L"--writers") options.writers = value;
        if (name == L"--records") options.records = value;
        if (name == L"--pause-ms") options.pause_ms = value;
    }
    return options;
}

std::wstring own_program_path() {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    return buffer;
}

bool whole(const StartRecord& record) {
    return record.pid != 0 && record.started != 0 && !record.command_line.empty() &&
           !record.working_directory.empty();
}

int write_records(int count, int pause_ms) {
    for (int i = 0; i < count; ++i) {
        rivelo::fixture::write_start_record();
        Sleep(static_cast<DWORD>(pause_ms));
    }
    return 0;
}

bool any_running(const std::vector<UniqueHandle>& writers) {
    for (const UniqueHandle& writer : writers) {
        if (WaitForSingleObject(writer.get(), 0) == WAIT_TIMEOUT) return true;
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && std::wstring(argv[1]) == kWriteMode) {
        return write_records(std::stoi(argv[2]), std::stoi(argv[3]));
    }
    const Options options = parse(argc, argv);

    // The writers run from a copy in a scratch folder, where their records go.
    const rivelo::test::ScratchDir scratch;
    const std::wstring program = scratch / kProbeCopy;
    rivelo::test::copy_file(own_program_path(), program);

    std::vector<UniqueHandle> writers;
    for (int i = 0; i < options.writers; ++i) {
        std::wstring command_line = rivelo::test::command_line_for(
            program,
            {kWriteMode, std::to_wstring(options.records), std::to_wstring(options.pause_ms)});
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                            nullptr, nullptr, &startup, &info)) {
            std::fprintf(stderr, "cannot start a writer, error %lu\n", GetLastError());
            return 1;
        }
        const UniqueHandle thread(info.hThread);
        writers.emplace_back(info.hProcess);
    }

    long long reads = 0, read_blank = 0;
    std::set<std::wstring> read_whole;  // record files, each counted once
    const DWORD began = GetTickCount();
    for (bool last = false; !last;) {
        last = !any_running(writers);  // one more pass after the writers have ended
        for (const StartRecord& record : rivelo::test::take_start_records(program)) {
            if (whole(record)) {
                read_whole.insert(record.file);
            } else {
                ++read_blank;
            }
        }
        ++reads;
    }
    const long long written = static_cast<long long>(options.writers) * options.records;
    std::printf(
        "record_read_probe: %d writers (pause %d ms), %lld records written in %.1f s; %lld reads\n",
        options.writers, options.pause_ms, written, (GetTickCount() - began) / 1000.0, reads);
    const auto whole_count = static_cast<long long>(read_whole.size());
    std::printf(
        "record_read_probe: records read whole %lld, never read whole %lld; reads that gave a "
        "blank or "
        "partial record %lld\n",
        whole_count, written - whole_count, read_blank);
    return read_blank == 0 && whole_count == written ? 0 : 1;
}
