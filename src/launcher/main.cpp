#include <string>
#include <vector>

#include "launcher/launcher.h"
#include "platform/console.h"
#include "platform/failure.h"

// wmain: the C runtime splits the command line into wide arguments.
int wmain(int argc, wchar_t** argv) {
    using rivelo::platform::FatalError;
    try {
        return rivelo::launcher::launch(std::vector<std::wstring>(argv, argv + argc));
    } catch (const FatalError& failure) {
        rivelo::platform::write_report(failure.message());
        return rivelo::platform::kFatalExitStatus;
    } catch (...) {
        // Running out of memory, or anything unforeseen, ends the process at once.
        rivelo::platform::fail_fast(rivelo::platform::describe_exception(std::current_exception()));
    }
}
