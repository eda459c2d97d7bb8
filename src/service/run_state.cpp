#include "service/run_state.h"

#include <memory>

namespace rivelo::service {

RunState::RunState(ServiceState initial) : value_(initial) {}

RunStateRef RunState::create(ServiceState initial) { return std::make_shared<RunState>(initial); }

ServiceState RunState::read() const {
    return value_.read([](ServiceState value) { return value; });
}

void RunState::write(ServiceState state) {
    value_.write([state](ServiceState& value) { value = state; });
}

void RunState::wait_for_stop() const {
    value_.wait_until([](ServiceState value) { return value == ServiceState::StopPending; });
}

}  // namespace rivelo::service
