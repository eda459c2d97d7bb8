// rivelo_status.exe for real: a service registered with Wine's service
// control manager on a root with the stand-in servers, each situation set up
// as a user would meet it, the program run as a user runs it.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <optional>
#include <string>

#include "support/loopback_port.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/service_manager.h"
#include "support/watched_process.h"
#include "support/working_directory_scope.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kStateTimeout = 30s;
constexpr auto kRecordTimeout = 20s;
constexpr wchar_t kServiceName[] = L"RiveloStatusTest";

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::string narrow(const std::wstring& text) { return {text.begin(), text.end()}; }

struct World {
    SampleRoot root;
    std::uint16_t web_port = free_loopback_port();
    std::uint16_t database_port = free_loopback_port();
    std::optional<SampleRoot> other_root;
    std::optional<WatchedProcess> other_web_server;
};

struct Situation {
    const char* name;
    std::function<void(World&)> prepare;  // before the start
    bool start;
    std::uint32_t exit_status;
    // Where the system names no process for a listening socket, a server's
    // listening cannot be told, and the stack is never all up.
    std::uint32_t exit_status_unnamed;
    // Parts of the output, made from the world once the servers run; with
    // and without a system that names the process of a listening socket.
    std::function<std::vector<std::string>(const World&, bool names_owner)> shown;
    std::wstring service = kServiceName;  // the name the program is given
};

const Situation kSituations[] = {
    {"all up", [](World&) {}, true, 0, 2,
     [](const World& w, bool names_owner) -> std::vector<std::string> {
         if (names_owner) {
             return {"All up: the web server and the database run from this root and listen.",
                     std::to_string(w.web_port), std::to_string(w.database_port)};
         }
         return {"the web server runs from this root, but whether it listens cannot be told",
                 "the database runs from this root, but whether it listens cannot be told",
                 "Listening on ports whose process the system does not name: ",
                 std::to_string(w.web_port), std::to_string(w.database_port)};
     }},
    {"the database missing from the root",
     [](World& w) { ASSERT_TRUE(DeleteFileW(w.root.mysqld().c_str())); }, true, 2, 2,
     [](const World&, bool) -> std::vector<std::string> {
         return {"no database (mysql\\bin\\mysqld.exe) runs from this root"};
     }},
    {"a web server of another folder running",
     [](World& w) {
         ASSERT_TRUE(DeleteFileW(w.root.httpd().c_str()));
         w.other_root.emplace();
         w.other_root->set_web_server_port(free_loopback_port());
         const WorkingDirectoryScope in_other_root(w.other_root->path());
         w.other_web_server.emplace(start_process(w.other_root->httpd()));
         ASSERT_EQ(SampleRoot::wait_for_records(w.other_root->httpd(), 2, kRecordTimeout).size(),
                   2u);
     },
     true, 2, 2,
     [](const World& w, bool) -> std::vector<std::string> {
         return {"Not all up: no web server (apache\\bin\\httpd.exe) runs from this root",
                 "The service runs, but the stack of another folder answers",
                 "another folder: " + narrow(w.other_root->httpd())};
     }},
    {"the service stopped", [](World&) {}, false, 1, 1,
     [](const World&, bool) -> std::vector<std::string> {
         return {"Service RiveloStatusTest: STOPPED\n",
                 "Not running: service RiveloStatusTest is STOPPED. Start it with \"sc start "
                 "RiveloStatusTest\""};
     }},
    {"no such service", [](World&) {}, false, 3, 3,
     [](const World&, bool) -> std::vector<std::string> {
         return {"There is no service named NoSuchRivelo.\n"};
     },
     L"NoSuchRivelo"},
    {"a database that does not listen",
     [](World& w) { ASSERT_TRUE(DeleteFileW((w.root / L"mysql\\listen-port").c_str())); }, true, 2,
     2,
     [](const World& w, bool names_owner) -> std::vector<std::string> {
         if (names_owner) {
             return {"the database runs from this root but listens on no TCP port"};
         }
         return {"the database runs from this root, but whether it listens cannot be told",
                 std::to_string(w.web_port)};
     }},
};

TEST(StatusProgram, TellsEachSituationOfARegisteredService) {
    const bool names_owner = system_names_listening_process();
    if (!names_owner) {
        std::cout << "[   NOTE   ] this system names no process for a listening socket "
                     "(probe: the test's own listener shows process 0): the listening checks "
                     "expect \"cannot be told\"\n";
    }
    for (const Situation& situation : kSituations) {
        SCOPED_TRACE(situation.name);
        World world;
        world.root.set_web_server_port(world.web_port);
        world.root.set_database_port(world.database_port);
        situation.prepare(world);
        if (testing::Test::HasFatalFailure()) return;
        ManagedService service(kServiceName, quoted(world.root.service_program()) + L" start");
        if (situation.start) {
            ASSERT_TRUE(service.start());
            ASSERT_TRUE(service.wait_for(ScmState::Running, kStateTimeout));
            // Each stand-in that can start writes its record once it listens.
            const bool web = file_exists(world.root.httpd());
            const bool database = file_exists(world.root.mysqld());
            if (web) {
                ASSERT_EQ(
                    SampleRoot::wait_for_records(world.root.httpd(), 2, kRecordTimeout).size(), 2u);
                ASSERT_EQ(
                    SampleRoot::wait_for_records(world.root.php_cgi(), 2, kRecordTimeout).size(),
                    2u);
            }
            if (database) {
                ASSERT_EQ(
                    SampleRoot::wait_for_records(world.root.mysqld(), 1, kRecordTimeout).size(),
                    1u);
            }
        }

        ProgramOptions options;
        const std::wstring program = built_program(L"rivelo_status.exe");
        options.command_line = command_line_for(program, {situation.service});
        const ProgramRun run = run_program(program, options);
        EXPECT_EQ(run.exit_code,
                  names_owner ? situation.exit_status : situation.exit_status_unnamed)
            << run.out << run.err;
        for (const std::string& part : situation.shown(world, names_owner)) {
            EXPECT_NE(run.out.find(part), std::string::npos) << "missing: " << part << "\n"
                                                             << run.out;
        }
        if (situation.start) {
            EXPECT_NE(run.out.find("this root"), std::string::npos) << run.out;
            ASSERT_TRUE(service.stop());
            ASSERT_TRUE(service.wait_for(ScmState::Stopped, kStateTimeout));
        }
        if (world.other_web_server) world.other_web_server->terminate();
    }
}

}  // namespace
}  // namespace rivelo::test
