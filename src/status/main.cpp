#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/failure.h"
#include "status/status_check.h"
#include "status/status_system.h"

namespace {

constexpr wchar_t kReportPrefix[] = L"rivelo_status: ";

}  // namespace

// wmain: the C runtime splits the command line into wide arguments.
int wmain(int argc, wchar_t** argv) {
    using rivelo::platform::FatalError;
    try {
        rivelo::status::MachineStatusSystem machine;
        const rivelo::status::StatusOutcome outcome =
            rivelo::status::check_status(std::vector<std::wstring>(argv, argv + argc), machine);
        rivelo::platform::write_output_text(outcome.output);
        rivelo::platform::write_error_text(outcome.error);
        return outcome.exit_status;
    } catch (const FatalError& failure) {
        rivelo::platform::write_error_text(kReportPrefix + failure.message() + L"\n");
        return rivelo::platform::kFatalExitStatus;
    } catch (...) {
        // Running out of memory, or anything unforeseen, ends the process at once.
        rivelo::platform::fail_fast(rivelo::platform::describe_exception(std::current_exception()));
    }
}
