// The whole service under the service control manager, with the stand-in
// servers: start, pause, continue, other controls and stop.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "support/run_program.h"
#include "support/sample_root.h"
#include "support/service_manager.h"
#include "support/taskkill_probe.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kStateTimeout = 30s;
constexpr auto kRecordTimeout = 20s;
constexpr std::uint32_t kUserControl = 128;

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

std::wstring next_service_name() {
    static std::atomic<int> counter{0};
    return L"RiveloTest" + std::to_wstring(counter++);
}

bool still_running(const platform::UniqueHandle& process) {
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// A service registered for a sample root, with handles on every server
// process it started.
class ServiceRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() { (void)taskkill_ends_every_process_of_a_name(); }

    void start_service(const std::wstring& arguments) {
        service.emplace(next_service_name(), quoted(root.service_program()) + L" " + arguments);
        ASSERT_TRUE(service->start());
        ASSERT_TRUE(service->wait_for(ScmState::Running, kStateTimeout))
            << state_name(service->query().state);
        service_process = open_process(service->query().process_id);
        ASSERT_TRUE(service_process.valid());
    }

    // Waits for the servers' start records and opens their processes: the
    // web server's parent and worker, its PHP processes and the database.
    void expect_servers_started(bool with_web_server = true) {
        if (with_web_server) {
            httpd_records = root.wait_for_records(root.httpd(), 2, kRecordTimeout);
            php_records = root.wait_for_records(root.php_cgi(), 2, kRecordTimeout);
            ASSERT_EQ(httpd_records.size(), 2u);
            ASSERT_EQ(php_records.size(), 2u);
        }
        mysqld_records = root.wait_for_records(root.mysqld(), 1, kRecordTimeout);
        ASSERT_EQ(mysqld_records.size(), 1u);
        // The servers that the service started and waits for; the web
        // server's worker and the PHP processes only taskkill by name ends.
        const std::uint32_t service_pid = service->query().process_id;
        for (const auto* records : {&httpd_records, &php_records, &mysqld_records}) {
            for (const StartRecord& record : *records) {
                auto& handles = record.parent_pid == service_pid ? servers : web_children;
                handles.push_back(open_process(record.pid));
                ASSERT_TRUE(handles.back().valid());
            }
        }
        if (!mysqld_records.empty()) mysqld = open_process(mysqld_records.front().pid);
    }

    void expect_servers_untouched() {
        for (const auto* handles : {&servers, &web_children}) {
            for (const auto& server : *handles) EXPECT_TRUE(still_running(server));
        }
        EXPECT_EQ(read_start_records(root.httpd()).size(), httpd_records.size());
        EXPECT_EQ(read_start_records(root.mysqld()).size(), 1u);
        EXPECT_TRUE(read_start_records(root.mysqladmin()).empty());
    }

    // Stops the service; STOPPED must come only after every server exited,
    // and the service process must end with status 0.
    void stop_and_expect_clean_end() {
        ASSERT_TRUE(service->stop());
        ASSERT_TRUE(service->wait_for(ScmState::Stopped, kStateTimeout))
            << state_name(service->query().state);
        for (const auto& server : servers) EXPECT_FALSE(still_running(server));
        EXPECT_EQ(count_processes(L"mysqld.exe"), 0u) << "left behind";
        const auto expect_no_web_process_left = [&] {
            for (const auto& child : web_children) EXPECT_FALSE(still_running(child));
            for (const wchar_t* name : {L"httpd.exe", L"php-cgi.exe"}) {
                EXPECT_EQ(count_processes(name), 0u) << "left behind";
            }
        };
        // Without a web server no taskkill ran, and no web process may run.
        if (web_children.empty()) {
            expect_no_web_process_left();
        } else {
            check_web_processes_ended(expect_no_web_process_left);
        }
        EXPECT_EQ(wait_for_process(service_process.get(), 10s), std::optional<std::uint32_t>(0));
        if (mysqld) {
            // The database shut down by itself; it was not killed.
            EXPECT_EQ(wait_for_process(mysqld.get(), 0ms), std::optional<std::uint32_t>(0));
        }
    }

    SampleRoot root;
    std::optional<ManagedService> service;
    platform::UniqueHandle service_process;
    platform::UniqueHandle mysqld;
    // The web server's parent and the database.
    std::vector<platform::UniqueHandle> servers;
    // The web server's worker and the PHP processes.
    std::vector<platform::UniqueHandle> web_children;
    std::vector<StartRecord> httpd_records, php_records, mysqld_records;
};

TEST_F(ServiceRun, StartsBothServersAndStopsThemWithTheirOwnStopMethods) {
    start_service(L"start -w " + quoted(root.path()));
    expect_servers_started();

    const std::wstring slashed = [&] {
        std::wstring text = root.path();
        for (wchar_t& c : text) c = c == L'\\' ? L'/' : c;
        return text;
    }();
    // The web server as it runs on Windows: the parent that the service
    // started, its worker with the same command line, and the worker's PHP
    // processes; the pid file names the parent.
    const StartRecord& parent = httpd_records[0];
    const StartRecord& worker = httpd_records[1];
    EXPECT_EQ(parent.parent_pid, service->query().process_id);
    EXPECT_EQ(worker.parent_pid, parent.pid);
    for (const StartRecord& php : php_records) EXPECT_EQ(php.parent_pid, worker.pid);
    EXPECT_EQ(read_file(root.pid_file()), std::to_string(parent.pid) + "\r\n");
    EXPECT_EQ(parent.command_line, quoted(root.httpd()));
    EXPECT_EQ(worker.command_line, quoted(root.httpd()));
    const StartRecord& database = mysqld_records[0];
    EXPECT_EQ(database.command_line, quoted(root.mysqld()) + L" " + kDatabaseOptions);
    for (const StartRecord* record : {&parent, &database}) {
        EXPECT_EQ(record->working_directory, root.path());
        EXPECT_EQ(record->kvr_root, slashed);
        ASSERT_TRUE(record->path.has_value());
        const std::wstring entry = L";" + root.path() + L"\\php\\lib\\imagick";
        EXPECT_EQ(record->path->substr(record->path->size() - entry.size()), entry);
    }

    stop_and_expect_clean_end();
    EXPECT_FALSE(file_exists(root.pid_file()));
    // The client waits until the database has exited, so one run stops it.
    const auto admin = read_start_records(root.mysqladmin());
    ASSERT_EQ(admin.size(), 1u);
    EXPECT_EQ(admin.front().command_line,
              quoted(root.mysqladmin()) + L" shutdown -uroot -pkqz4w7rvtx2lem");
}

TEST_F(ServiceRun, PauseContinueInterrogateAndUserControlsLeaveTheServersAlone) {
    start_service(L"start -w " + quoted(root.path()));
    expect_servers_started();

    ASSERT_TRUE(service->control(SERVICE_CONTROL_PAUSE));
    EXPECT_TRUE(service->wait_for(ScmState::Paused, kStateTimeout));
    expect_servers_untouched();

    ASSERT_TRUE(service->control(SERVICE_CONTROL_CONTINUE));
    EXPECT_TRUE(service->wait_for(ScmState::Running, kStateTimeout));
    EXPECT_TRUE(service->control(SERVICE_CONTROL_INTERROGATE));
    EXPECT_TRUE(service->control(kUserControl));
    EXPECT_EQ(service->query().state, static_cast<std::uint32_t>(ScmState::Running));
    expect_servers_untouched();

    // Stop from the paused state too.
    ASSERT_TRUE(service->control(SERVICE_CONTROL_PAUSE));
    EXPECT_TRUE(service->wait_for(ScmState::Paused, kStateTimeout));
    stop_and_expect_clean_end();
}

TEST_F(ServiceRun, RunsTheSameWayWithDtrsAndWithTheProgramFolderAsRoot) {
    // No -w: the folder of rivelo_svc.exe is the root.
    start_service(L"start --dtrs 7");
    expect_servers_started();
    EXPECT_EQ(httpd_records[0].working_directory, root.path());
    stop_and_expect_clean_end();
}

TEST_F(ServiceRun, WithoutAWebServerTheDatabaseRunsAlone) {
    DeleteFileW(root.httpd().c_str());
    start_service(L"start -w " + quoted(root.path()));
    expect_servers_started(/*with_web_server=*/false);
    EXPECT_TRUE(read_start_records(root.php_cgi()).empty());
    stop_and_expect_clean_end();
}

}  // namespace
}  // namespace rivelo::test
