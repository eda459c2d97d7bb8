#include "status/status_check.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "platform/failure.h"
#include "platform/service_control.h"
#include "platform/text.h"
#include "status/server_processes.h"
#include "status/service_root.h"
#include "status/status_table.h"

namespace rivelo::status {

namespace {

constexpr wchar_t kUsage[] = L"usage: rivelo_status.exe [NAME]\n";
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t kErrorInvalidName = 123;

constexpr wchar_t kInTheGuide[] = L" in the troubleshooting guide.";

std::wstring state_name(std::uint32_t state) {
    switch (state) {
        case platform::kServiceStopped:
            return L"STOPPED";
        case platform::kServiceStartPending:
            return L"START_PENDING";
        case platform::kServiceStopPending:
            return L"STOP_PENDING";
        case platform::kServiceRunning:
            return L"RUNNING";
        case platform::kServiceContinuePending:
            return L"CONTINUE_PENDING";
        case platform::kServicePausePending:
            return L"PAUSE_PENDING";
        case platform::kServicePaused:
            return L"PAUSED";
        default:
            return L"state " + platform::decimal(std::uint64_t{state});
    }
}

// Pausing changes only the reported state: the servers run on.
bool servers_should_run(std::uint32_t state) {
    return state == platform::kServiceRunning || state == platform::kServicePaused ||
           state == platform::kServicePausePending || state == platform::kServiceContinuePending;
}

bool is_usable_name(const std::wstring& name) {
    return !name.empty() && name.front() != L'-' && name.front() != L'/';
}

std::wstring quoted(const wchar_t* entry) { return L"\"" + std::wstring(entry) + L"\""; }

std::wstring see(const wchar_t* entry) { return L" See " + quoted(entry) + kInTheGuide; }

std::wstring not_running_verdict(const std::wstring& name, std::uint32_t state,
                                 bool root_servers_run) {
    const std::wstring is_in = L"service " + name + L" is " + state_name(state);
    if (state == platform::kServiceStartPending) {
        return L"Not running yet: " + is_in + L". Ask again in a moment.";
    }
    if (state == platform::kServiceStopPending) {
        return L"Not running: " + is_in + L" while its servers shut down. If it stays so, see " +
               quoted(guide_entry::kStopAnswers1053) + kInTheGuide;
    }
    if (root_servers_run) {
        return L"Not running: " + is_in + L", but servers of its root still run (see the table)." +
               see(guide_entry::kDatabaseLeft);
    }
    return L"Not running: " + is_in + L". Start it with \"sc start " + name +
           L"\"; if that fails, see " + quoted(guide_entry::kStartFails) + kInTheGuide;
}

// What is wrong with one server of the root, or nothing.
struct ServerFinding {
    std::wstring problem;
    bool listening_unknown = false;
    bool other_folder_runs = false;
    std::size_t unreadable = 0;
};

ServerFinding find_server(const ServerScan& scan, const ServerProgram& program,
                          const wchar_t* what) {
    ServerFinding finding;
    bool runs = false;
    bool listens = false;
    for (const ServerProcess& server : scan.servers) {
        if (!is_program(server, program)) continue;
        if (server.origin == Origin::this_root) {
            runs = true;
            listens = listens || !server.ports.empty();
        }
        if (server.origin == Origin::other_folder) finding.other_folder_runs = true;
        if (server.origin == Origin::unreadable) ++finding.unreadable;
    }
    if (!runs && finding.unreadable > 0) {
        finding.problem = std::wstring(L"whether a ") + what + L" (" +
                          std::wstring(program.in_root) + L") runs from this root cannot be told";
    } else if (!runs) {
        finding.problem = std::wstring(L"no ") + what + L" (" + std::wstring(program.in_root) +
                          L") runs from this root";
    } else if (!listens && !scan.unowned_ports.empty()) {
        finding.problem = std::wstring(L"the ") + what +
                          L" runs from this root, but whether it listens cannot be told";
        finding.listening_unknown = true;
    } else if (!listens) {
        finding.problem =
            std::wstring(L"the ") + what + L" runs from this root but listens on no TCP port";
    }
    return finding;
}

struct Verdict {
    int exit_status = kAllUp;
    std::wstring text;
    bool shows_unowned_ports = false;  // the verdict points to them
};

Verdict servers_verdict(const ServerScan& scan) {
    const ServerFinding findings[] = {find_server(scan, kWebServer, L"web server"),
                                      find_server(scan, kDatabase, L"database")};
    const ServerProgram* programs[] = {&kWebServer, &kDatabase};
    std::wstring problems;
    std::wstring unreadable;
    bool other_folder = false;
    bool listening_unknown = false;
    for (std::size_t i = 0; i < std::size(findings); ++i) {
        const ServerFinding& finding = findings[i];
        if (finding.problem.empty()) continue;
        if (!problems.empty()) problems += L"; ";
        problems += finding.problem;
        other_folder = other_folder || finding.other_folder_runs;
        listening_unknown = listening_unknown || finding.listening_unknown;
        if (finding.unreadable > 0) {
            unreadable += L" The folder of " +
                          platform::decimal(std::uint64_t{finding.unreadable}) + L" " +
                          std::wstring(programs[i]->image_name) +
                          L" could not be read: run this again as an administrator to tell.";
        }
    }
    if (problems.empty()) {
        return {kAllUp, L"All up: the web server and the database run from this root and listen."};
    }
    if (listening_unknown) {
        unreadable += L" The system names no process for some listening ports (see above).";
    }
    return {kServerMissing,
            L"Not all up: " + problems + L"." + unreadable +
                see(other_folder ? guide_entry::kOtherStack : guide_entry::kServersMissing),
            listening_unknown};
}

}  // namespace

StatusOutcome check_status(const std::vector<std::wstring>& arguments, StatusSystem& system) {
    if (arguments.size() > 2 || (arguments.size() == 2 && !is_usable_name(arguments[1]))) {
        return {kBadUsageOrNoService, {}, kUsage};
    }
    const std::wstring name = arguments.size() == 2 ? arguments[1] : kDefaultServiceName;

    const auto service = system.query_service(name);
    if (!service.ok()) {
        if (service.error() == platform::win32_error(kErrorServiceDoesNotExist) ||
            service.error() == platform::win32_error(kErrorInvalidName)) {
            return {kBadUsageOrNoService, L"There is no service named " + name + L".\n", {}};
        }
        throw platform::FatalError(L"cannot read service " + name + L": " +
                                   platform::describe(service.error()));
    }
    const platform::ServiceReport& report = service.value();

    const auto system_folder = system.system_folder();
    if (!system_folder.ok()) {
        throw platform::FatalError(L"cannot read the system folder: " +
                                   platform::describe(system_folder.error()));
    }
    const ServiceRoot root = root_of_command_line(report.command_line, system_folder.value());
    const ServerScan scan = find_server_processes(root.folder, system);

    Verdict verdict;
    if (!servers_should_run(report.state)) {
        const bool root_servers_run = std::ranges::any_of(
            scan.servers,
            [](const ServerProcess& server) { return server.origin == Origin::this_root; });
        verdict = {kServiceNotRunning, not_running_verdict(name, report.state, root_servers_run)};
    } else if (root.folder.empty()) {
        verdict = {kServerMissing,
                   L"Not all up: the service's root folder cannot be told from its command line." +
                       see(guide_entry::kStartFails)};
    } else {
        verdict = servers_verdict(scan);
    }

    std::wstring output = L"Service " + name + L": " + state_name(report.state);
    if (report.process_id != 0)
        output += L" (process " + platform::decimal(std::uint64_t{report.process_id}) + L")";
    output += L"\nRoot folder: ";
    output += root.folder.empty() ? L"cannot tell: " + root.problem : root.folder;
    output += L"\n\n" + format_table(scan.servers);
    if (verdict.shows_unowned_ports) output += unowned_ports_line(scan.unowned_ports);
    output += L"\n";

    return {verdict.exit_status, output + verdict.text + L"\n", {}};
}

}  // namespace rivelo::status
