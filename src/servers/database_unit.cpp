#include "servers/database_unit.h"

#include <utility>

#include "launcher/path_join.h"
#include "platform/failure.h"
#include "servers/child_start_retry.h"
#include "servers/process_supervisor.h"

namespace rivelo::servers {

namespace {

constexpr wchar_t kServerProgram[] = L"mysql\\bin\\mysqld.exe";
// One argument that the server reads as eleven options.
constexpr wchar_t kServerOptions[] =
    L"--disable-log-bin --skip-innodb-log-checksums --skip-binlog-gtid-simple-recovery "
    L"--skip-ssl --skip-admin-ssl --skip-innodb-doublewrite --skip-auto-generate-certs "
    L"--skip-innodb-file-per-table --standalone --datadir=data --console";
constexpr wchar_t kAdminProgram[] = L"mysql\\bin\\mysqladmin.exe";
// The password follows "-p" directly.
constexpr wchar_t kShutdownCommand[] = L"shutdown -uroot -p";
constexpr wchar_t kRootPassword[] = L"kqz4w7rvtx2lem";

}  // namespace

void run_database(UnitContext context, ChildProcesses& children) {
    const std::wstring program = launcher::path_join(context.root_dir, kServerProgram);
    supervise(
        program, std::wstring(kServerOptions), [&] { stop_database(context.root_dir, children); },
        std::move(context.run_state), children);
}

void stop_database(const std::wstring& root_dir, ChildProcesses& children) {
    const std::wstring program = launcher::path_join(root_dir, kAdminProgram);
    const std::wstring argument = std::wstring(kShutdownCommand) + kRootPassword;
    auto helper = start_child_with_retry(children, program, argument);
    if (!helper.ok()) {
        throw platform::FatalError(L"cannot start '" + program + L"': " +
                                   platform::describe(helper.error()));
    }
    const auto waited = children.wait_exit(helper.value());
    if (!waited.ok()) {
        throw platform::FatalError(L"cannot wait for '" + program + L"': " +
                                   platform::describe(waited.error()));
    }
    platform::close_child(std::move(helper.value()));
}

}  // namespace rivelo::servers
