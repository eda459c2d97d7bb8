// The Windows package as a user gets it: its contents, unpacked into a root
// whose path holds spaces and a non-ASCII letter, registered with
// install-service.cmd run by cmd.exe from a folder where tools of the
// system's names lie in wait, the service's whole life under the service
// control manager, uninstall-service.cmd, and the scripts' refusals, also
// against an sc.exe that speaks another language and answers with Windows's
// error codes.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "platform/unique_handle.h"
#include "status/status_check.h"
#include "support/loopback_port.h"
#include "support/run_program.h"
#include "support/running_on_wine.h"
#include "support/sample_root.h"
#include "support/scratch_dir.h"
#include "support/service_manager.h"
#include "support/start_record.h"
#include "support/taskkill_probe.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kStateTimeout = 30s;
constexpr auto kRecordTimeout = 20s;
// uninstall-service.cmd waits for the stop in steps of one second.
constexpr auto kScriptTimeout = 120s;
constexpr wchar_t kRootPath[] = L"C:\\Program Files\\Kvr Stack \u00DC";
constexpr wchar_t kDefaultName[] = L"Rivelo";
constexpr DWORD kPreshutdownTimeoutMs = 180000;
// A lower time-out, set before the service starts, that it raises.
constexpr DWORD kOtherPreshutdownTimeoutMs = 5000;
// One an administrator may set for a large database: 10 minutes.
constexpr DWORD kLongerPreshutdownTimeoutMs = 600000;

// Tools of the names the scripts use, as cmd.exe would find them in the
// current folder before the system's: programs that record that they ran
// (.com and .exe) and batch files that leave a file beside them.
const wchar_t* const kPlantedPrograms[] = {
    L"sc.exe", L"sc.com", L"reg.exe", L"reg.com", L"ping.exe", L"ping.com", L"rivelo_status.exe"};
const wchar_t* const kPlantedBatchFiles[] = {L"sc.bat",  L"sc.cmd",   L"reg.bat",
                                             L"reg.cmd", L"ping.bat", L"ping.cmd"};

const std::vector<std::wstring> kPackageFiles = {
    L"LICENSE",           L"README.txt",     L"TROUBLESHOOTING.txt", L"install-service.cmd",
    L"rivelo_status.exe", L"rivelo_svc.exe", L"status-service.cmd",  L"uninstall-service.cmd",
};

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Where the package set-up unpacked the zip: beside the built programs.
std::wstring package_contents() { return bin_dir() + L"\\..\\package-contents"; }

std::wstring system_folder() {
    wchar_t buffer[MAX_PATH];
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

std::vector<std::wstring> files_in(const std::wstring& folder) {
    std::vector<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder))) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct ServiceConfig {
    std::wstring command_line;
    DWORD start_type = 0;
    DWORD service_type = 0;
    std::wstring display_name;
    std::wstring description;
    std::optional<DWORD> preshutdown_timeout_ms;
};

struct ScHandleCloser {
    void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

// The registration of a service as the service control manager keeps it;
// nothing when there is no such service.
std::optional<ServiceConfig> registered_config(const std::wstring& name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return std::nullopt;
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) return std::nullopt;

    ServiceConfig config;
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* query = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.get(), query, needed, &needed)) return std::nullopt;
    config.command_line = query->lpBinaryPathName;
    config.start_type = query->dwStartType;
    config.service_type = query->dwServiceType;
    config.display_name = query->lpDisplayName;

    QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> description(needed);
    auto* text = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data());
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(), needed,
                             &needed) &&
        text->lpDescription) {
        config.description = text->lpDescription;
    }

    DWORD timeout = 0;
    DWORD size = sizeof timeout;
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" + name;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"PreshutdownTimeout", RRF_RT_REG_DWORD,
                     nullptr, &timeout, &size) == ERROR_SUCCESS) {
        config.preshutdown_timeout_ms = timeout;
    }
    return config;
}

// The preshutdown time-out as the service control manager holds it.
std::optional<DWORD> manager_preshutdown_timeout(const std::wstring& name) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return std::nullopt;
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG));
    if (!service) return std::nullopt;
    SERVICE_PRESHUTDOWN_INFO info{};
    DWORD needed = 0;
    if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO,
                              reinterpret_cast<BYTE*>(&info), sizeof info, &needed)) {
        return std::nullopt;
    }
    return info.dwPreshutdownTimeout;
}

bool set_manager_preshutdown_timeout(const std::wstring& name, DWORD timeout_ms) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG));
    if (!service) return false;
    SERVICE_PRESHUTDOWN_INFO info{.dwPreshutdownTimeout = timeout_ms};
    return ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, &info) != 0;
}

// While it lives, the system's sc.exe is the stand-in of tests/fixtures: the
// scripts run it by the system's path, as they run the real one. Wine runs a
// program of its own builtin's name only when the prefix's DllOverrides say
// so. The stand-in reads its language and its refusals from the environment
// that the scripts inherit from this test.
class StandInSystemSc {
public:
    StandInSystemSc() : sc_(system_folder() + L"\\sc.exe"), aside_(sc_ + L".system") {
        RegSetKeyValueW(HKEY_CURRENT_USER, kOverrides, L"sc.exe", REG_SZ, L"native",
                        sizeof L"native");
        in_place_ = MoveFileW(sc_.c_str(), aside_.c_str()) != 0;
        if (in_place_) copy_file(built_program(L"sc_stand_in.exe"), sc_);
    }
    ~StandInSystemSc() {
        if (in_place_) {
            DeleteFileW(sc_.c_str());
            MoveFileW(aside_.c_str(), sc_.c_str());
        }
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kOverrides, L"sc.exe");
        SetEnvironmentVariableW(L"RIVELO_SC_LANGUAGE", nullptr);
        SetEnvironmentVariableW(L"RIVELO_SC_REFUSE", nullptr);
    }
    StandInSystemSc(const StandInSystemSc&) = delete;
    StandInSystemSc& operator=(const StandInSystemSc&) = delete;

    [[nodiscard]] bool in_place() const { return in_place_; }
    // "de", "ru", or empty for English.
    static void speak(const wchar_t* language) {
        SetEnvironmentVariableW(L"RIVELO_SC_LANGUAGE", language);
    }
    // "command=code[,command=code...]", or empty for none.
    static void refuse(const wchar_t* refusals) {
        SetEnvironmentVariableW(L"RIVELO_SC_REFUSE", *refusals ? refusals : nullptr);
    }

private:
    static constexpr wchar_t kOverrides[] = L"Software\\Wine\\DllOverrides";
    std::wstring sc_;
    std::wstring aside_;
    bool in_place_ = false;
};

struct ModuleFreer {
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};
using LoadedModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

bool still_running(const platform::UniqueHandle& process) {
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// The package unpacked into kRootPath, with the stand-in servers beside it.
class Package : public ::testing::Test {
protected:
    Package() {
        for (const std::wstring& file : files_in(package_contents())) {
            copy_file(package_contents() + L"\\" + file, root / file);
        }
        for (const wchar_t* program : kPlantedPrograms) {
            copy_file(built_program(L"record_start.exe"), planted / program);
        }
        for (const wchar_t* batch_file : kPlantedBatchFiles) {
            write_file(planted / batch_file, "@echo ran> \"%~f0.ran\"\r\n");
        }
        planted_files = files_in(planted.path());
    }

    ~Package() override {
        for (const std::wstring& name : created_names) remove_service(name);
    }

    void TearDown() override {
        EXPECT_EQ(files_in(planted.path()), planted_files)
            << "a tool planted in the folder the scripts ran from was run";
    }

    // Runs one of the package's scripts with cmd.exe, as an administrator
    // does from a command prompt whose current folder holds planted tools.
    ProgramRun run_script(const wchar_t* script, const std::wstring& arguments) {
        return run_script_in(root.path(), script, arguments);
    }

    // The same with the script of the package in another folder.
    ProgramRun run_script_in(const std::wstring& folder, const wchar_t* script,
                             const std::wstring& arguments) {
        ProgramOptions options;
        options.command_line =
            L"cmd.exe /d /s /c \"" + quoted(folder + L"\\" + script) + L" " + arguments + L"\"";
        options.working_directory = planted.path();
        options.timeout = kScriptTimeout;
        return run_program(system_folder() + L"\\cmd.exe", options);
    }

    ProgramRun install(const std::wstring& name, const std::wstring& arguments) {
        created_names.push_back(name);
        return run_script(L"install-service.cmd", arguments);
    }

    ProgramRun uninstall(const std::wstring& arguments) {
        return run_script(L"uninstall-service.cmd", arguments);
    }

    // status-service.cmd for the default service: its exit status, with its
    // output checked for the verdict's beginning.
    void expect_status(std::uint32_t exit_status, const std::string& verdict) {
        const ProgramRun status = run_script(L"status-service.cmd", L"");
        EXPECT_EQ(status.exit_code, exit_status) << status.out << status.err;
        EXPECT_NE(status.out.find("\n" + verdict), std::string::npos) << status.out << status.err;
    }

    // Registers the default service with the package's script, unless it is
    // registered already, and starts it: RUNNING, with its process open.
    void install_and_start() {
        if (!ManagedService::open(kDefaultName)) {
            const ProgramRun installed = install(kDefaultName, L"");
            ASSERT_EQ(installed.exit_code, 0u) << installed.out << installed.err;
        }
        std::optional<ManagedService> opened = ManagedService::open(kDefaultName);
        ASSERT_TRUE(opened.has_value());
        service.emplace(std::move(*opened));
        ASSERT_TRUE(service->start());
        ASSERT_TRUE(service->wait_for(ScmState::Running, kStateTimeout))
            << state_name(service->query().state);
        service_process = open_process(service->query().process_id);
        ASSERT_TRUE(service_process.valid());
    }

    // Stops and deletes a service that a failed test left registered.
    static void remove_service(const std::wstring& name) {
        std::optional<ManagedService> service = ManagedService::open(name);
        if (!service) return;
        if (service->query().state != static_cast<std::uint32_t>(ScmState::Stopped)) {
            (void)service->stop();
            (void)service->wait_for(ScmState::Stopped, kStateTimeout);
        }
        service->remove();
    }

    SampleRoot root{kRootPath};
    ScratchDir planted;
    std::vector<std::wstring> planted_files;
    std::vector<std::wstring> created_names;
    std::optional<ManagedService> service;
    platform::UniqueHandle service_process;
};

TEST_F(Package, HoldsTheProgramTheScriptsTheLicenceAndTheReadMe) {
    EXPECT_EQ(files_in(package_contents()), kPackageFiles);
    std::ifstream licence(std::filesystem::path(root / L"LICENSE"));
    const std::string text((std::istreambuf_iterator<char>(licence)),
                           std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("MIT License"), std::string::npos);
    EXPECT_NE(text.find("Copyright (c) 2026 KVR Rivelo project"), std::string::npos);
    // Batch files need CRLF line ends on Windows.
    std::ifstream script(std::filesystem::path(root / L"install-service.cmd"), std::ios::binary);
    std::string first_line;
    std::getline(script, first_line);
    EXPECT_EQ(first_line, "@echo off\r");
}

// The guide is made from the troubleshooting page at build time: plain text
// for Notepad, every line ended with CRLF, no Markdown link left, and every
// entry that rivelo_status.exe's verdicts name is a heading of it.
TEST_F(Package, HoldsTheTroubleshootingGuideAsPlainTextWithCrlfLineEnds) {
    std::ifstream file(std::filesystem::path(package_contents() + L"\\TROUBLESHOOTING.txt"),
                       std::ios::binary);
    ASSERT_TRUE(file) << "TROUBLESHOOTING.txt is not in the package";
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("Troubleshooting\r\n===============\r\n", 0), 0u) << text.substr(0, 80);
    EXPECT_NE(text.find("sc query Rivelo"), std::string::npos);
    std::size_t lines = 0;
    std::size_t without_cr = 0;
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
        ++lines;
        if (at == 0 || text[at - 1] != '\r') ++without_cr;
    }
    EXPECT_GT(lines, 100u);
    EXPECT_EQ(without_cr, 0u) << "lines that end with a line feed alone";
    EXPECT_EQ(text.find("]("), std::string::npos) << "a Markdown link is left";
    EXPECT_EQ(text.find("```"), std::string::npos) << "a code fence is left";
    for (const wchar_t* entry : status::kGuideEntries) {
        const std::string heading = "\r\n" + platform::to_utf8(entry) + "\r\n---";
        EXPECT_NE(text.find(heading), std::string::npos)
            << "no heading \"" << platform::to_utf8(entry) << "\", which the status program names";
    }
}

// The version lives in the CMake project version; the banner and the
// version resource must both carry it.
TEST_F(Package, ProgramCarriesTheVersionAManifestAndNoSymbols) {
    const std::wstring program = root / L"rivelo_svc.exe";
    const std::wstring version = RIVELO_EXPECTED_VERSION;

    ProgramOptions options;
    options.command_line = quoted(program);
    const ProgramRun banner = run_program(program, options);
    EXPECT_EQ(banner.exit_code, 0u);
    EXPECT_NE(banner.err.find("\nBuild v" + std::string(version.begin(), version.end()) + "\n"),
              std::string::npos)
        << banner.err;

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource";
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    const std::wstring fixed_version = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                                       std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                                       std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
                                       std::to_wstring(LOWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(fixed_version, version + L".0");
    const auto string_value = [&](const wchar_t* key) {
        wchar_t* value = nullptr;
        UINT chars = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
        if (!VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars))
            return std::wstring();
        return std::wstring(value);
    };
    EXPECT_EQ(string_value(L"ProductName"), L"KVR Rivelo");
    EXPECT_EQ(string_value(L"FileVersion"), version + L".0");
    EXPECT_EQ(string_value(L"ProductVersion"), version + L".0");
    EXPECT_FALSE(string_value(L"FileDescription").empty());

    const LoadedModule module(LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_NE(module, nullptr);
    HRSRC manifest = FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr) << "no application manifest";
    const char* data = static_cast<const char*>(LockResource(LoadResource(module.get(), manifest)));
    const std::string text(data, SizeofResource(module.get(), manifest));
    EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(text.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos)
        << "Windows 10 and 11";

    // Stripped: no COFF symbol table (debug sections go with it).
    std::ifstream file(std::filesystem::path(program), std::ios::binary);
    IMAGE_DOS_HEADER dos{};
    file.read(reinterpret_cast<char*>(&dos), sizeof dos);
    file.seekg(dos.e_lfanew);
    IMAGE_NT_HEADERS64 headers{};
    file.read(reinterpret_cast<char*>(&headers), sizeof headers);
    ASSERT_EQ(headers.Signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
    EXPECT_EQ(headers.FileHeader.NumberOfSymbols, 0u);
    EXPECT_EQ(headers.FileHeader.PointerToSymbolTable, 0u);
}

struct Registration {
    const wchar_t* arguments;
    const wchar_t* name;
    const wchar_t* command_line_after_program;
};

const Registration kRegistrations[] = {
    {L"", kDefaultName, L" start"},
    {L"RiveloTwo --dtrs 7", L"RiveloTwo", L" start --dtrs \"7\""},
    {L"--dtrs \"a b & c\" Rivelo-3", L"Rivelo-3", L" start --dtrs \"a b & c\""},
};

TEST_F(Package, InstallRegistersTheRootSafelyAndUninstallRemovesIt) {
    for (const Registration& registration : kRegistrations) {
        SCOPED_TRACE(testing::Message() << "arguments: " << registration.arguments);
        const ProgramRun installed = install(registration.name, registration.arguments);
        ASSERT_EQ(installed.exit_code, 0u) << installed.out << installed.err;

        const std::optional<ServiceConfig> config = registered_config(registration.name);
        ASSERT_TRUE(config.has_value());
        EXPECT_EQ(config->command_line,
                  quoted(root / L"rivelo_svc.exe") + registration.command_line_after_program);
        EXPECT_EQ(config->start_type, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->display_name, std::wstring(L"KVR Rivelo - ") + registration.name);
        EXPECT_NE(config->description.find(root.path()), std::wstring::npos);
        EXPECT_EQ(config->preshutdown_timeout_ms, std::optional<DWORD>(kPreshutdownTimeoutMs));

        const ProgramRun removed = uninstall(registration.name);
        EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
        EXPECT_FALSE(registered_config(registration.name).has_value());
    }
}

TEST_F(Package, TheWholeLifeFromInstallToUninstall) {
    const bool names_listener = system_names_listening_process();
    root.set_web_server_port(free_loopback_port());
    root.set_database_port(free_loopback_port());
    const ProgramRun installed = install(kDefaultName, L"");
    ASSERT_EQ(installed.exit_code, 0u) << installed.out << installed.err;
    expect_status(1, "Not running: service Rivelo is STOPPED.");
    ASSERT_NO_FATAL_FAILURE(install_and_start());

    // The web server's parent, then its worker.
    const auto httpd = SampleRoot::wait_for_records(root.httpd(), 2, kRecordTimeout);
    const auto php = SampleRoot::wait_for_records(root.php_cgi(), 2, kRecordTimeout);
    const auto mysqld = SampleRoot::wait_for_records(root.mysqld(), 1, kRecordTimeout);
    ASSERT_EQ(httpd.size(), 2u);
    ASSERT_EQ(php.size(), 2u);
    ASSERT_EQ(mysqld.size(), 1u);
    EXPECT_EQ(httpd[0].command_line, quoted(root.httpd()));
    EXPECT_EQ(mysqld[0].command_line, quoted(root.mysqld()) + L" " + kDatabaseOptions);
    EXPECT_EQ(httpd[0].working_directory, root.path());
    EXPECT_EQ(mysqld[0].working_directory, root.path());
    const platform::UniqueHandle web_server = open_process(httpd[0].pid);
    const platform::UniqueHandle database = open_process(mysqld[0].pid);
    // What only taskkill by name ends: the worker and the PHP processes.
    std::vector<platform::UniqueHandle> web_children;
    web_children.push_back(open_process(httpd[1].pid));
    for (const StartRecord& record : php) web_children.push_back(open_process(record.pid));

    // Where the system names no process for a listening socket, whether the
    // servers listen cannot be told.
    if (names_listener) {
        expect_status(0, "All up: the web server and the database run from this root and listen.");
    } else {
        expect_status(2,
                      "Not all up: the web server runs from this root, but whether it listens "
                      "cannot be told; the database runs from this root, but whether it "
                      "listens cannot be told.");
    }

    ASSERT_TRUE(service->stop());
    ASSERT_TRUE(service->wait_for(ScmState::Stopped, kStateTimeout))
        << state_name(service->query().state);
    EXPECT_FALSE(still_running(web_server));
    check_web_processes_ended([&] {
        for (const auto& process : web_children)
            EXPECT_FALSE(still_running(process)) << "the worker or a php-cgi.exe left";
    });
    EXPECT_EQ(wait_for_process(database.get(), 0ms), std::optional<std::uint32_t>(0))
        << "shut down, not killed";
    // A Wine whose taskkill ends one process of a name per call may leave
    // web processes, which the verdict then names after the state.
    expect_status(1, "Not running: service Rivelo is STOPPED");
    EXPECT_EQ(wait_for_process(service_process.get(), 10s), std::optional<std::uint32_t>(0));

    // A service is deleted once the last handle to it is closed.
    service.reset();
    const ProgramRun removed = uninstall(L"");
    EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
    EXPECT_NE(removed.out.find("stopped and removed"), std::string::npos) << removed.out;
    EXPECT_FALSE(registered_config(kDefaultName).has_value());
}

TEST_F(Package, UninstallStopsARunningServiceBeforeItRemovesIt) {
    ASSERT_NO_FATAL_FAILURE(install_and_start());
    const auto mysqld = SampleRoot::wait_for_records(root.mysqld(), 1, kRecordTimeout);
    ASSERT_EQ(mysqld.size(), 1u);
    ASSERT_EQ(SampleRoot::wait_for_records(root.php_cgi(), 2, kRecordTimeout).size(), 2u);
    const platform::UniqueHandle database = open_process(mysqld[0].pid);
    // The first web server process is the parent that the service started.
    const platform::UniqueHandle web_server = open_process(read_start_records(root.httpd())[0].pid);

    service.reset();  // a service is deleted once the last handle to it is closed
    const ProgramRun removed = uninstall(kDefaultName);
    EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
    EXPECT_FALSE(registered_config(kDefaultName).has_value());
    EXPECT_EQ(wait_for_process(service_process.get(), 10s), std::optional<std::uint32_t>(0));
    EXPECT_EQ(wait_for_process(database.get(), 0ms), std::optional<std::uint32_t>(0))
        << "shut down, not killed";
    EXPECT_FALSE(read_start_records(root.mysqladmin()).empty());
    EXPECT_FALSE(still_running(web_server));
    check_web_processes_ended([] {
        for (const wchar_t* name : {L"httpd.exe", L"php-cgi.exe"})
            EXPECT_EQ(count_processes(name), 0u) << "left behind";
    });
}

struct Refusal {
    const char* what;
    std::vector<const wchar_t*> removed;  // files of the root, put aside for the case
    bool register_the_name_first;
    const wchar_t* arguments;
    const wchar_t* name;  // must not be registered by the script
    std::vector<const char*> messages;
};

const Refusal kRefusals[] = {
    {"program not beside the script",
     {L"rivelo_svc.exe"},
     false,
     L"",
     kDefaultName,
     {"rivelo_svc.exe is not in"}},
    {"no web server",
     {kHttpdProgram},
     false,
     L"",
     kDefaultName,
     {"apache\\bin\\httpd.exe is missing", "is not the root folder of a web stack"}},
    {"no database server and no database client",
     {kMysqldProgram, kMysqladminProgram},
     false,
     L"",
     kDefaultName,
     {"mysql\\bin\\mysqld.exe is missing", "mysql\\bin\\mysqladmin.exe is missing"}},
    {"no database client",
     {kMysqladminProgram},
     false,
     L"",
     kDefaultName,
     {"mysql\\bin\\mysqladmin.exe is missing"}},
    {"service exists already", {}, true, L"", kDefaultName, {"exists already"}},
    // Windows and Wine 10 refuse the name at the query (123, invalid name),
    // Wine 8's sc, which exits with 1 on every failure, only at the create.
    {"sc refuses the name", {}, false, L"Bad\\Name", L"Bad\\Name", {"registered"}},
    {"--dtrs value begins with -", {}, false, L"--dtrs -x", kDefaultName, {"must not begin with"}},
    {"--dtrs value ends with a backslash",
     {},
     false,
     L"--dtrs x\\",
     kDefaultName,
     {"must not end with a backslash"}},
    {"--dtrs without a value", {}, false, L"--dtrs", kDefaultName, {"usage:"}},
    {"two names", {}, false, L"One Two", L"One", {"usage:"}},
};

TEST_F(Package, InstallRefusesWithAMessageAndANonZeroStatus) {
    for (const Refusal& refusal : kRefusals) {
        SCOPED_TRACE(refusal.what);
        std::optional<ManagedService> existing;
        for (const wchar_t* file : refusal.removed) {
            ASSERT_TRUE(MoveFileW((root / file).c_str(), (root / file + L".aside").c_str()));
        }
        if (refusal.register_the_name_first) {
            existing.emplace(refusal.name, L"\"C:\\elsewhere\\other.exe\"");
        }

        const ProgramRun run = install(refusal.name, refusal.arguments);
        EXPECT_NE(run.exit_code, 0u);
        for (const char* message : refusal.messages) {
            EXPECT_NE(run.err.find(message), std::string::npos) << run.out << run.err;
        }

        const std::optional<ServiceConfig> config = registered_config(refusal.name);
        if (existing) {
            ASSERT_TRUE(config.has_value());
            EXPECT_EQ(config->command_line, L"\"C:\\elsewhere\\other.exe\"") << "left as it was";
        } else {
            EXPECT_FALSE(config.has_value());
        }
        for (const wchar_t* file : refusal.removed) {
            ASSERT_TRUE(MoveFileW((root / file + L".aside").c_str(), (root / file).c_str()));
        }
    }
}

// Registered by another program, or by this program in another root, a
// service is not this package's to stop or remove.
TEST_F(Package, UninstallLeavesAServiceOfAnotherProgramAlone) {
    struct Case {
        const char* what;
        std::wstring command_line;
    };
    const Case cases[] = {
        {"another program", L"\"C:\\elsewhere\\other.exe\""},
        {"the program of another root", L"\"C:\\Other Stack\\rivelo_svc.exe\" start"},
        {"a longer name beside the program", quoted(root / L"rivelo_svc.exe.old") + L" start"},
        {"this program after another one",
         L"C:\\elsewhere\\other.exe " + quoted(root / L"rivelo_svc.exe") + L" start"},
        {"this program unquoted", root / L"rivelo_svc.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ManagedService other(L"RiveloOther", c.command_line);
        const ProgramRun run = uninstall(L"RiveloOther");
        EXPECT_NE(run.exit_code, 0u);
        EXPECT_NE(run.err.find("does not run this package's"), std::string::npos)
            << run.out << run.err;
        const std::optional<ServiceConfig> config = registered_config(L"RiveloOther");
        ASSERT_TRUE(config.has_value()) << "removed";
        EXPECT_EQ(config->command_line, c.command_line);
    }
}

// Root folders named with what Windows allows in a folder name and cmd.exe
// gives a meaning to: the scripts register, refuse and remove with each, and
// show each path whole. Not tried here: "%" and "!", which Wine's cmd.exe
// expands again inside an expanded value (unlike Windows).
const wchar_t* const kAwkwardRoots[] = {
    L"C:\\Tom & Jerry",
    L"C:\\R&D = 50 (x)",
    L"C:\\a^b;c,d==e",
    L"C:\\Stack \u00C9t\u00E9 \u00DC",
};

// A copy of the package, and stand-in servers, in a root folder of its own.
struct OtherRoot {
    explicit OtherRoot(const std::wstring& path) : root(path) {
        for (const std::wstring& file : files_in(package_contents())) {
            copy_file(package_contents() + L"\\" + file, root / file);
        }
    }
    SampleRoot root;
};

// Text in one of the system's code pages; cmd.exe writes to a file or pipe
// in the OEM one on Windows and in the ANSI one under Wine.
std::string in_code_page(const std::wstring& text, UINT code_page) {
    const int size = WideCharToMultiByte(code_page, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(code_page, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(),
                        size, nullptr, nullptr);
    return bytes;
}

bool holds_whole(const std::string& output, const std::wstring& text) {
    return output.find(in_code_page(text, CP_OEMCP)) != std::string::npos ||
           output.find(in_code_page(text, CP_ACP)) != std::string::npos;
}

std::wstring short_path(const std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : path;
}

// Whether this system's cmd.exe gives a batch file in the folder its folder
// whole, through %~dp0 and then through delayed expansion, as both scripts
// take it. Wine's does not for "%" and "!": its handleExpansion goes on
// looking for "%" and "!" inside the text it has just put in.
bool cmd_keeps_folder_whole(const std::wstring& folder) {
    const std::wstring probe = folder + L"\\folder-probe.cmd";
    write_file(probe,
               "@echo off\r\nsetlocal EnableExtensions DisableDelayedExpansion\r\n"
               "set \"ROOT=%~dp0\"\r\nsetlocal EnableDelayedExpansion\r\necho [!ROOT!]\r\n");
    ProgramOptions options;
    options.command_line = L"cmd.exe /d /s /c \"" + quoted(probe) + L"\"";
    const ProgramRun run = run_program(system_folder() + L"\\cmd.exe", options);
    DeleteFileW(probe.c_str());
    return holds_whole(run.out, L"[" + folder + L"\\]");
}

class PackageInAnyFolder : public Package {
protected:
    // Registers the package of the folder, has another package's script
    // refuse it, then removes it with its own script.
    void install_refuse_and_remove(const OtherRoot& other) {
        const std::wstring program = other.root / L"rivelo_svc.exe";

        created_names.push_back(L"RiveloAwkward");
        const ProgramRun installed =
            run_script_in(other.root.path(), L"install-service.cmd", L"RiveloAwkward");
        ASSERT_EQ(installed.exit_code, 0u) << installed.out << installed.err;
        ASSERT_EQ(registered_config(L"RiveloAwkward")->command_line, quoted(program) + L" start");

        // The script of this folder refuses another package's service with its
        // own program named whole, and runs nothing from a piece of it.
        created_names.push_back(kDefaultName);
        ASSERT_EQ(install(kDefaultName, L"").exit_code, 0u);
        const ProgramRun refused =
            run_script_in(other.root.path(), L"uninstall-service.cmd", kDefaultName);
        EXPECT_EQ(refused.exit_code, 1u) << refused.out << refused.err;
        EXPECT_TRUE(holds_whole(refused.err, L"this package's " + quoted(program) + L";"))
            << refused.err;
        ASSERT_TRUE(registered_config(kDefaultName).has_value());
        ASSERT_EQ(uninstall(kDefaultName).exit_code, 0u);

        const ProgramRun removed =
            run_script_in(other.root.path(), L"uninstall-service.cmd", L"RiveloAwkward");
        EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
        EXPECT_FALSE(registered_config(L"RiveloAwkward").has_value());
    }
};

TEST_F(PackageInAnyFolder, BothScriptsTakeARootFolderOfAnyName) {
    // What a message cut at the "&" of C:\Tom & Jerry would run.
    const std::wstring piece = planted / L"Jerry\\rivelo_svc.exe";
    copy_file(built_program(L"record_start.exe"), piece);
    planted_files = files_in(planted.path());

    for (const wchar_t* path : kAwkwardRoots) {
        SCOPED_TRACE(platform::to_utf8(path));
        install_refuse_and_remove(OtherRoot(path));
    }
    EXPECT_TRUE(read_start_records(piece).empty()) << "a piece of a path was run";
}

// Run where this system's cmd.exe keeps "%" and "!" in an expanded value, as
// Windows' does; under Wine the probe shows which one it expands again.
TEST_F(PackageInAnyFolder, BothScriptsTakeARootFolderWithAPercentOrAnExclamationMark) {
    std::string expanded_again;
    for (const wchar_t* path : {L"C:\\50% off", L"C:\\Wow! Stack"}) {
        SCOPED_TRACE(platform::to_utf8(path));
        const OtherRoot other(path);
        if (!cmd_keeps_folder_whole(other.root.path())) {
            expanded_again += " " + platform::to_utf8(path);
            continue;
        }
        install_refuse_and_remove(other);
    }
    if (!expanded_again.empty()) {
        GTEST_SKIP() << "skipped on this platform: the package scripts in a root folder named "
                        "with \"%\" or \"!\"; this system's cmd.exe expands them again inside an "
                        "expanded value (probe: %~dp0 and !ROOT! in a batch file in"
                     << expanded_again << "), as Wine's does";
    }
}

// Installed through the folder's 8.3 short name and removed through its long
// one, and the other way round: one folder, one package.
TEST_F(Package, AFolderReachedThroughItsShortNameIsTheSameFolder) {
    const OtherRoot other(L"C:\\Kvr Stack With A Long Name");
    const std::wstring short_root = short_path(other.root.path());
    ASSERT_NE(short_root, other.root.path()) << "no short name";
    const struct {
        const char* name;
        std::wstring install_from;
        std::wstring uninstall_from;
    } cases[] = {{"short, then long", short_root, other.root.path()},
                 {"long, then short", other.root.path(), short_root}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        created_names.push_back(L"RiveloShort");
        const ProgramRun installed =
            run_script_in(c.install_from, L"install-service.cmd", L"RiveloShort");
        ASSERT_EQ(installed.exit_code, 0u) << installed.out << installed.err;
        const ProgramRun removed =
            run_script_in(c.uninstall_from, L"uninstall-service.cmd", L"RiveloShort");
        EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
        EXPECT_FALSE(registered_config(L"RiveloShort").has_value());
    }
}

// Two stacks on one machine end each other's web server at a stop: the
// second is registered, with a warning that names the first and its folder.
TEST_F(Package, InstallWarnsOfAnotherStackAndStillRegisters) {
    const OtherRoot other(L"C:\\Tom & Jerry");
    created_names.push_back(L"RiveloFirst");
    const ProgramRun first =
        run_script_in(other.root.path(), L"install-service.cmd", L"RiveloFirst");
    ASSERT_EQ(first.exit_code, 0u) << first.out << first.err;
    EXPECT_EQ(first.err.find("warning"), std::string::npos) << first.err;

    const ProgramRun second = install(kDefaultName, L"");
    EXPECT_EQ(second.exit_code, 0u) << second.out << second.err;
    EXPECT_NE(second.err.find("warning: service RiveloFirst runs the stack in \"C:\\Tom & "
                              "Jerry\\\"."),
              std::string::npos)
        << second.err;
    EXPECT_NE(second.err.find("ends the web server and the PHP processes of both"),
              std::string::npos)
        << second.err;
    EXPECT_TRUE(registered_config(kDefaultName).has_value());
}

// Windows removes a service that a program still holds open only once that
// program lets go: until then sc delete has only marked it, and a second
// delete answers 1072.
TEST_F(Package, UninstallTellsWhenTheServiceIsOnlyMarkedForDeletion) {
    ASSERT_EQ(install(kDefaultName, L"").exit_code, 0u);
    std::optional<ManagedService> held = ManagedService::open(kDefaultName);
    ASSERT_TRUE(held.has_value());

    const ProgramRun run = uninstall(kDefaultName);
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_NE(run.out.find("stopped and marked for deletion"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("removed."), std::string::npos) << run.out;

    held.reset();
    EXPECT_FALSE(registered_config(kDefaultName).has_value()) << "gone once let go";
}

// Windows 10 1703 and later give a service 10 s of preshutdown unless told
// otherwise, and the manager reads the registry value of the install script
// only when Windows starts: the service raises a lower time-out at its start,
// and keeps a longer one that an administrator set.
TEST_F(Package, TheServiceRaisesALowerPreshutdownTimeOutAndKeepsALongerOne) {
    const struct {
        const char* name;
        DWORD set_ms;
        DWORD held_ms;
    } cases[] = {{"lower: raised", kOtherPreshutdownTimeoutMs, kPreshutdownTimeoutMs},
                 {"longer: kept", kLongerPreshutdownTimeoutMs, kLongerPreshutdownTimeoutMs}};
    ASSERT_EQ(install(kDefaultName, L"").exit_code, 0u);
    std::optional<ManagedService> opened = ManagedService::open(kDefaultName);
    ASSERT_TRUE(opened.has_value());
    service.emplace(std::move(*opened));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(set_manager_preshutdown_timeout(kDefaultName, c.set_ms));
        ASSERT_EQ(manager_preshutdown_timeout(kDefaultName), std::optional<DWORD>(c.set_ms));

        ASSERT_TRUE(service->start());
        ASSERT_TRUE(service->wait_for(ScmState::Running, kStateTimeout))
            << state_name(service->query().state);
        // Raised once the service runs: polled, with the machine's pace. A
        // longer one is looked at again once the service has stopped.
        const auto deadline = std::chrono::steady_clock::now() + kStateTimeout;
        while (manager_preshutdown_timeout(kDefaultName) != c.held_ms &&
               std::chrono::steady_clock::now() < deadline) {
            Sleep(20);
        }
        ASSERT_TRUE(service->stop());
        ASSERT_TRUE(service->wait_for(ScmState::Stopped, kStateTimeout));

        EXPECT_EQ(manager_preshutdown_timeout(kDefaultName), std::optional<DWORD>(c.held_ms));
        EXPECT_EQ(registered_config(kDefaultName)->preshutdown_timeout_ms,
                  std::optional<DWORD>(c.held_ms));
    }
}

// An sc.exe in another language, and Windows's own error codes, with the
// stand-in in place of the system's sc.exe.
class PackageWithStandInSc : public Package {
protected:
    void SetUp() override {
        if (!running_on_wine()) GTEST_SKIP() << "replaces the system's sc.exe: Wine only";
        sc.emplace();
        ASSERT_TRUE(sc->in_place());
    }

    std::optional<StandInSystemSc> sc;
};

// A localized sc translates the label of the state line ("STATE" is
// "STATUS" in German) but keeps the state's code and name.
TEST_F(PackageWithStandInSc, UninstallReadsTheStateInAnyLanguage) {
    struct Case {
        const char* what;
        const wchar_t* language;
        bool started;  // stopped by the script, or refused as not started (1062)
    };
    const Case cases[] = {
        {"German, running", L"de", true},
        {"Russian, running", L"ru", true},
        {"German, never started", L"de", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandInSystemSc::speak(L"");
        if (c.started) {
            ASSERT_NO_FATAL_FAILURE(install_and_start());
            service.reset();  // a service is deleted once the last handle to it is closed
        } else {
            ASSERT_EQ(install(kDefaultName, L"").exit_code, 0u);
        }

        StandInSystemSc::speak(c.language);
        const ProgramRun removed = uninstall(kDefaultName);
        EXPECT_EQ(removed.exit_code, 0u) << removed.out << removed.err;
        EXPECT_NE(removed.out.find("stopped and removed"), std::string::npos) << removed.out;
        EXPECT_FALSE(registered_config(kDefaultName).has_value());
        if (c.started) {
            EXPECT_EQ(wait_for_process(service_process.get(), 10s),
                      std::optional<std::uint32_t>(0));
        }
    }
}

// A stop that sc refuses for another reason than "not started" is told at
// once, with what it means, and the service is left registered and running.
TEST_F(PackageWithStandInSc, UninstallTellsWhySCRefusedTheStop) {
    struct Case {
        const wchar_t* refusal;
        std::uint32_t exit_code;
        const char* message;
    };
    const Case cases[] = {
        {L"stop=5", 5, "run this script as an administrator"},
        {L"stop=1051", 1051, "other services depend on Rivelo"},
        {L"stop=1061", 1061, "cannot take a stop request now"},
        {L"stop=1053", 1053, "sc stop failed with status 1053"},
    };
    ASSERT_NO_FATAL_FAILURE(install_and_start());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.exit_code);
        StandInSystemSc::refuse(c.refusal);
        const ProgramRun run = uninstall(kDefaultName);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_TRUE(registered_config(kDefaultName).has_value());
        EXPECT_EQ(service->query().state, static_cast<std::uint32_t>(ScmState::Running));
    }
}

TEST_F(PackageWithStandInSc, UninstallTellsWhenSCDeleteOnlyMarkedTheService) {
    ASSERT_EQ(install(kDefaultName, L"").exit_code, 0u);
    StandInSystemSc::refuse(L"delete=1072");
    const ProgramRun run = uninstall(kDefaultName);
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_NE(run.out.find("stopped and marked for deletion"), std::string::npos) << run.out;
}

// Only "no such service" (1060) frees the name; a half-made service is
// removed again, and when that fails too the script says so.
TEST_F(PackageWithStandInSc, InstallTakesOnlyNoSuchServiceAsAFreeNameAndChecksItsUndo) {
    struct Case {
        const char* what;
        const wchar_t* refusals;
        std::uint32_t exit_code;
        std::vector<const char*> messages;
        bool left_registered;
    };
    const Case cases[] = {
        {"no such service", L"", 0, {"is registered for"}, false},
        {"query denied",
         L"query=5",
         5,
         {"cannot query service Rivelo, status 5", "run this script as an administrator"},
         false},
        {"description refused",
         L"description=1072",
         1072,
         {"could not be configured, status 1072", "removing it again"},
         false},
        {"description and delete refused",
         L"description=5,delete=5",
         5,
         {"could not be configured, status 5", "sc delete failed too, status 5",
          "still registered"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandInSystemSc::refuse(c.refusals);
        const ProgramRun run = install(kDefaultName, L"");
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        for (const char* message : c.messages) {
            EXPECT_NE((run.out + run.err).find(message), std::string::npos) << run.out << run.err;
        }
        const bool registered = registered_config(kDefaultName).has_value();
        EXPECT_EQ(registered, c.exit_code == 0 || c.left_registered);
        StandInSystemSc::refuse(L"");
        remove_service(kDefaultName);
    }
}

TEST_F(Package, UninstallOfAServiceThatDoesNotExistIsNotAFailure) {
    const ProgramRun run = uninstall(L"RiveloNeverInstalled");
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_NE(run.out.find("there is no service named RiveloNeverInstalled"), std::string::npos)
        << run.out;
}

}  // namespace
}  // namespace rivelo::test
