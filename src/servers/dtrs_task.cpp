#include "servers/dtrs_task.h"

#include <utility>

namespace rivelo::servers {

DtrsTask::DtrsTask(std::wstring root_dir, std::wstring value, service::RunStateRef run_state)
    : root_dir_(std::move(root_dir)), value_(std::move(value)), run_state_(std::move(run_state)) {}

void DtrsTask::operator()() const { run_state_->wait_for_stop(); }

}  // namespace rivelo::servers
