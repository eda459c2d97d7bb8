#pragma once

#include <string>

#include "service/run_state.h"

namespace rivelo::servers {

// The third task, run when the command line gave "--dtrs": it holds its copy
// of the root directory and the option's value, neither of them examined, for
// as long as the service runs, and ends once the run state holds StopPending.
class DtrsTask {
public:
    DtrsTask(std::wstring root_dir, std::wstring value, service::RunStateRef run_state);

    // Blocks, without using the processor, until the stop.
    void operator()() const;

private:
    std::wstring root_dir_;
    std::wstring value_;
    service::RunStateRef run_state_;
};

}  // namespace rivelo::servers
