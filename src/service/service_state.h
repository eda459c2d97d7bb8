#pragma once

#include <cstdint>

namespace rivelo::service {

// The seven service states, numbered as the run state stores them.
enum class ServiceState : std::uint8_t {
    ContinuePending = 0,
    Paused = 1,
    PausePending = 2,
    Running = 3,
    StartPending = 4,
    Stopped = 5,
    StopPending = 6,
};

}  // namespace rivelo::service
