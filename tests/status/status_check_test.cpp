// The status program's verdict, table and exit status for a table of
// situations, against a machine played by a fake: in-process, no service,
// no children.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/service_control.h"
#include "platform/system_error.h"
#include "status/status_check.h"

namespace rivelo::test {
namespace {

constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kNoSuchService = 1060;

constexpr std::uint32_t kServicePid = 100;
constexpr std::uint32_t kWebParentPid = 200;
constexpr std::uint32_t kWebWorkerPid = 201;
constexpr std::uint32_t kPhpPid = 300;
constexpr std::uint32_t kPhpPid2 = 301;
constexpr std::uint32_t kDatabasePid = 400;
constexpr std::uint32_t kOtherWebPid = 500;

// A machine where service Rivelo runs C:\Stack, everything up.
class FakeMachine final : public status::StatusSystem {
public:
    FakeMachine() {
        services[L"Rivelo"] = {platform::kServiceRunning, kServicePid,
                               L"\"C:\\Stack\\rivelo_svc.exe\" start"};
        add(4, 0, L"services.exe", L"C:\\Windows\\System32\\services.exe");
        add(kServicePid, 4, L"rivelo_svc.exe", L"C:\\Stack\\rivelo_svc.exe");
        add(kWebParentPid, kServicePid, L"httpd.exe", L"C:\\Stack\\apache\\bin\\httpd.exe");
        add(kWebWorkerPid, kWebParentPid, L"httpd.exe", L"C:\\Stack\\apache\\bin\\httpd.exe");
        add(kPhpPid, kWebWorkerPid, L"php-cgi.exe", L"C:\\Stack\\php\\php-cgi.exe");
        add(kPhpPid2, kWebWorkerPid, L"php-cgi.exe", L"C:\\Stack\\php\\php-cgi.exe");
        // Paths compare as the file system does: letter case aside.
        add(kDatabasePid, kServicePid, L"MYSQLD.EXE", L"c:\\stack\\MySQL\\bin\\mysqld.exe");
        listeners = {{kWebParentPid, 443},
                     {kWebParentPid, 80},
                     {kWebWorkerPid, 80},
                     {kDatabasePid, 3306},
                     {kDatabasePid, 3306}};
    }

    void add(std::uint32_t pid, std::uint32_t parent, const std::wstring& name,
             const std::wstring& path) {
        processes.push_back({pid, parent, name});
        paths.insert_or_assign(pid, platform::Result<std::wstring>(path));
    }
    void remove(std::uint32_t pid) {
        std::erase_if(processes,
                      [pid](const platform::ProcessEntry& entry) { return entry.pid == pid; });
        std::erase_if(listeners,
                      [pid](const platform::TcpListener& entry) { return entry.pid == pid; });
    }
    void set_state(std::uint32_t state) {
        services[L"Rivelo"].state = state;
        if (state == platform::kServiceStopped) {
            services[L"Rivelo"].process_id = 0;
            remove(kServicePid);
        }
    }

    platform::Result<platform::ServiceReport> query_service(const std::wstring& name) override {
        const auto found = services.find(name);
        if (found == services.end()) return platform::win32_error(kNoSuchService);
        return found->second;
    }
    platform::Result<std::vector<platform::ProcessEntry>> list_processes() override {
        if (process_list_error) return process_list_error;
        return processes;
    }
    platform::Result<std::wstring> process_image_path(std::uint32_t pid) override {
        return paths.at(pid);
    }
    platform::Result<std::vector<platform::TcpListener>> list_tcp_listeners() override {
        return listeners;
    }
    platform::Result<std::wstring> system_folder() override {
        return std::wstring(L"C:\\Windows\\System32");
    }

    std::map<std::wstring, platform::ServiceReport> services;
    std::vector<platform::ProcessEntry> processes;
    std::map<std::uint32_t, platform::Result<std::wstring>> paths;
    std::vector<platform::TcpListener> listeners;
    std::error_code process_list_error;
};

struct Situation {
    const char* name;
    std::function<void(FakeMachine&)> change;
    std::vector<std::wstring> arguments;  // after the program
    int exit_status;
    const wchar_t* verdict;     // a part of the last line of the output
    const wchar_t* also_shown;  // a part of the output before the verdict, or null
    const wchar_t* not_shown;   // a text the output must not hold, or null
};

const Situation kSituations[] = {
    {"all up",
     [](FakeMachine&) {},
     {},
     status::kAllUp,
     L"All up: the web server and the database run from this root and listen.",
     L"80, 443",
     nullptr},
    {"paused: the servers run on",
     [](FakeMachine& m) { m.set_state(platform::kServicePaused); },
     {},
     status::kAllUp,
     L"All up",
     L"Service Rivelo: PAUSED (process 100)",
     nullptr},
    {"the database missing from the root",
     [](FakeMachine& m) { m.remove(kDatabasePid); },
     {},
     status::kServerMissing,
     L"Not all up: no database (mysql\\bin\\mysqld.exe) runs from this root. See \"The service "
     L"is RUNNING, but the web server or the database is not running\" in the troubleshooting "
     L"guide.",
     nullptr,
     L"MYSQLD.EXE"},
    {"a web server of another folder runs instead",
     [](FakeMachine& m) {
         m.remove(kWebParentPid);
         m.remove(kWebWorkerPid);
         m.add(kOtherWebPid, 1, L"httpd.exe", L"D:\\Old Stack\\apache\\bin\\httpd.exe");
         m.listeners.push_back({kOtherWebPid, 80});
     },
     {},
     status::kServerMissing,
     L"Not all up: no web server (apache\\bin\\httpd.exe) runs from this root. See \"The service "
     L"runs, but the stack of another folder answers\" in the troubleshooting guide.",
     L"another folder: D:\\Old Stack\\apache\\bin\\httpd.exe",
     nullptr},
    {"a web server that does not listen",
     [](FakeMachine& m) {
         std::erase_if(m.listeners, [](const auto& l) { return l.port != 3306; });
     },
     {},
     status::kServerMissing,
     L"Not all up: the web server runs from this root but listens on no TCP port.",
     nullptr,
     L"cannot be told"},
    {"listening sockets whose process the system does not name",
     [](FakeMachine& m) {
         for (auto& listener : m.listeners) listener.pid = 0;
     },
     {},
     status::kServerMissing,
     L"the web server runs from this root, but whether it listens cannot be told",
     L"Listening on ports whose process the system does not name: 80, 443, 3306",
     nullptr},
    {"a database whose folder needs administrator rights",
     [](FakeMachine& m) {
         m.remove(kDatabasePid);
         m.add(kDatabasePid, kServicePid, L"mysqld.exe", {});
         m.paths.insert_or_assign(
             kDatabasePid, platform::Result<std::wstring>(platform::win32_error(kAccessDenied)));
     },
     {},
     status::kServerMissing,
     L"Not all up: whether a database (mysql\\bin\\mysqld.exe) runs from this root cannot be "
     L"told. The folder of 1 mysqld.exe could not be read: run this again as an administrator "
     L"to tell.",
     L"cannot tell: needs administrator rights",
     nullptr},
    {"a process that ended while it was looked at",
     [](FakeMachine& m) {
         m.paths.insert_or_assign(
             kPhpPid2, platform::Result<std::wstring>(platform::win32_error(kInvalidParameter)));
     },
     {},
     status::kAllUp,
     L"All up",
     nullptr,
     L"301"},
    {"the service stopped",
     [](FakeMachine& m) {
         m.set_state(platform::kServiceStopped);
         for (std::uint32_t pid : {kWebParentPid, kWebWorkerPid, kPhpPid, kPhpPid2, kDatabasePid})
             m.remove(pid);
     },
     {},
     status::kServiceNotRunning,
     L"Not running: service Rivelo is STOPPED. Start it with \"sc start Rivelo\"; if that fails, "
     L"see \"sc start fails\" in the troubleshooting guide.",
     L"No httpd.exe, php-cgi.exe or mysqld.exe runs on this machine.",
     L"(process"},
    {"the service stopped, its database left running",
     [](FakeMachine& m) {
         m.set_state(platform::kServiceStopped);
         for (std::uint32_t pid : {kWebParentPid, kWebWorkerPid, kPhpPid, kPhpPid2}) m.remove(pid);
     },
     {},
     status::kServiceNotRunning,
     L"but servers of its root still run (see the table). See \"The service ended at a stop, and "
     L"the database still runs\"",
     L"100 (ended)",
     nullptr},
    {"the service starting",
     [](FakeMachine& m) { m.set_state(platform::kServiceStartPending); },
     {},
     status::kServiceNotRunning,
     L"Not running yet: service Rivelo is START_PENDING. Ask again in a moment.",
     nullptr,
     nullptr},
    {"the service stopping",
     [](FakeMachine& m) { m.set_state(platform::kServiceStopPending); },
     {},
     status::kServiceNotRunning,
     L"is STOP_PENDING while its servers shut down",
     nullptr,
     nullptr},
    {"a service by another name",
     [](FakeMachine& m) {
         m.services[L"Rivelo2"] = m.services[L"Rivelo"];
         m.services[L"Rivelo2"].command_line = L"\"D:\\Old Stack\\rivelo_svc.exe\" start";
     },
     {L"Rivelo2"},
     status::kServerMissing,
     L"no web server (apache\\bin\\httpd.exe)",
     L"Root folder: D:\\Old Stack",
     nullptr},
    {"no such service",
     [](FakeMachine&) {},
     {L"Other"},
     status::kBadUsageOrNoService,
     L"There is no service named Other.",
     nullptr,
     L"Root folder"},
    {"a command line the launcher does not start",
     [](FakeMachine& m) { m.services[L"Rivelo"].command_line = L"\"C:\\Stack\\rivelo_svc.exe\""; },
     {},
     status::kServerMissing,
     L"the service's root folder cannot be told",
     L"Root folder: cannot tell: its command line does not start the service",
     nullptr},
};

std::wstring last_line(const std::wstring& text) {
    const std::size_t end = text.size() - 1;  // the final LF
    const std::size_t start = text.rfind(L'\n', end - 1);
    return text.substr(start + 1, end - start - 1);
}

TEST(StatusCheck, GivesTheVerdictAndExitStatusOfEachSituation) {
    for (const Situation& situation : kSituations) {
        SCOPED_TRACE(situation.name);
        FakeMachine machine;
        situation.change(machine);
        std::vector<std::wstring> arguments{L"rivelo_status.exe"};
        arguments.insert(arguments.end(), situation.arguments.begin(), situation.arguments.end());
        const status::StatusOutcome outcome = status::check_status(arguments, machine);
        EXPECT_EQ(outcome.exit_status, situation.exit_status);
        EXPECT_EQ(outcome.error, L"");
        ASSERT_TRUE(outcome.output.ends_with(L"\n"));
        const std::wstring verdict = last_line(outcome.output);
        EXPECT_NE(verdict.find(situation.verdict), std::wstring::npos) << verdict.size();
        if (situation.also_shown) {
            EXPECT_NE(outcome.output.find(situation.also_shown), std::wstring::npos);
        }
        if (situation.not_shown) {
            EXPECT_EQ(outcome.output.find(situation.not_shown), std::wstring::npos);
        }
    }
}

TEST(StatusCheck, ShowsEachServerProcessWithItsParentPortsAndFolder) {
    FakeMachine machine;
    machine.add(kOtherWebPid, 77, L"httpd.exe", L"D:\\Old\\apache\\bin\\httpd.exe");
    const status::StatusOutcome outcome = status::check_status({L"rivelo_status.exe"}, machine);
    EXPECT_EQ(outcome.output,
              L"Service Rivelo: RUNNING (process 100)\n"
              L"Root folder: C:\\Stack\n"
              L"\n"
              L"Program      PID  Parent              Listening on  Runs from\n"
              L"httpd.exe    200  100 rivelo_svc.exe  80, 443       this root\n"
              L"httpd.exe    201  200 httpd.exe       80            this root\n"
              L"php-cgi.exe  300  201 httpd.exe       -             this root\n"
              L"php-cgi.exe  301  201 httpd.exe       -             this root\n"
              L"MYSQLD.EXE   400  100 rivelo_svc.exe  3306          this root\n"
              L"httpd.exe    500  77 (ended)          -             another folder: "
              L"D:\\Old\\apache\\bin\\httpd.exe\n"
              L"\n"
              L"All up: the web server and the database run from this root and listen.\n");
}

TEST(StatusCheck, RefusesMoreThanOneArgumentOrAnOptionAsName) {
    const std::vector<std::vector<std::wstring>> usages = {
        {L"rivelo_status.exe", L"Rivelo", L"extra"},
        {L"rivelo_status.exe", L""},
        {L"rivelo_status.exe", L"/?"},
        {L"rivelo_status.exe", L"--help"},
    };
    for (const auto& arguments : usages) {
        FakeMachine machine;
        const status::StatusOutcome outcome = status::check_status(arguments, machine);
        EXPECT_EQ(outcome.exit_status, status::kBadUsageOrNoService);
        EXPECT_EQ(outcome.output, L"");
        EXPECT_EQ(outcome.error, L"usage: rivelo_status.exe [NAME]\n");
    }
}

TEST(StatusCheck, AProcessListThatCannotBeReadIsFatal) {
    FakeMachine machine;
    machine.process_list_error = platform::win32_error(kAccessDenied);
    try {
        (void)status::check_status({L"rivelo_status.exe"}, machine);
        FAIL() << "no failure";
    } catch (const platform::FatalError& failure) {
        EXPECT_TRUE(failure.message().starts_with(L"cannot list the processes: "));
    }
}

}  // namespace
}  // namespace rivelo::test
