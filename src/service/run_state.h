#pragma once

#include <memory>

#include "service/guarded.h"
#include "service/service_state.h"

namespace rivelo::service {

class RunState;

// Shared by the command handler and every task; the last holder destroys it.
using RunStateRef = std::shared_ptr<RunState>;

// The state through which the command handler tells the tasks to stop.
class RunState {
public:
    explicit RunState(ServiceState initial);

    static RunStateRef create(ServiceState initial);

    [[nodiscard]] ServiceState read() const;
    void write(ServiceState state);

    // Blocks, without using the processor, until the value is StopPending.
    void wait_for_stop() const;

private:
    Guarded<ServiceState> value_;
};

}  // namespace rivelo::service
