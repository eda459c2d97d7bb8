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

    // Waits for the servers' start records and opens their processes.
    void expect_servers_started(bool with_web_server = true) {
        if (with_web_server) {
            httpd_records = root.wait_for_records(root.httpd(), 1, kRecordTimeout);
            php_records = root.wait_for_records(root.php_cgi(), 2, kRecordTimeout);
            ASSERT_EQ(httpd_records.size(), 1u);
            ASSERT_EQ(php_records.size(), 2u);
        }
        mysqld_records = root.wait_for_records(root.mysqld(), 1, kRecordTimeout);
        ASSERT_EQ(mysqld_records.size(), 1u);
        for (const auto* records : {&httpd_records, &php_records, &mysqld_records}) {
            auto& handles = records == &php_records ? php_servers : servers;
            for (const StartRecord& record : *records) {
                handles.push_back(open_process(record.pid));
                ASSERT_TRUE(handles.back().valid());
            }
        }
        if (!mysqld_records.empty()) mysqld = open_process(mysqld_records.front().pid);
    }

    void expect_servers_untouched() {
        for (const auto* handles : {&servers, &php_servers}) {
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
        for (const wchar_t* name : {L"httpd.exe", L"mysqld.exe"}) {
            EXPECT_EQ(count_processes(name), 0u) << "left behind";
        }
        const auto expect_no_php_left = [&] {
            for (const auto& php : php_servers) EXPECT_FALSE(still_running(php));
            EXPECT_EQ(count_processes(L"php-cgi.exe"), 0u) << "left behind";
        };
        // Without a web server no taskkill ran, and no PHP process may run.
        if (php_servers.empty()) {
            expect_no_php_left();
        } else {
            check_php_processes_ended(expect_no_php_left);
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
    std::vector<platform::UniqueHandle> servers;  // the web server and the database
    std::vector<platform::UniqueHandle> php_servers;
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
    EXPECT_EQ(httpd_records[0].command_line, quoted(root.httpd()));
    EXPECT_EQ(mysqld_records[0].command_line, quoted(root.mysqld()) + L" " + kDatabaseOptions);
    for (const auto* record : {&httpd_records[0], &mysqld_records[0]}) {
        EXPECT_EQ(record->working_directory, root.path());
        EXPECT_EQ(record->kvr_root, slashed);
        ASSERT_TRUE(record->path.has_value());
        const std::wstring entry = L";" + root.path() + L"\\php\\lib\\imagick";
        EXPECT_EQ(record->path->substr(record->path->size() - entry.size()), entry);
    }
    EXPECT_TRUE(file_exists(root.pid_file()));

    stop_and_expect_clean_end();
    EXPECT_FALSE(file_exists(root.pid_file()));
    const auto admin = read_start_records(root.mysqladmin());
    ASSERT_FALSE(admin.empty());
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
