#pragma once

#include <cstdint>

namespace rivelo::service {

// What the service host passes to the service handler.
struct ServiceCommand {
    enum class Kind : std::uint8_t {
        Start = 0,
        Stop = 1,
        Pause = 2,
        Resume = 3,
        Extended = 4,  // any other request, passed on as received
    };

    Kind kind = Kind::Start;
    // Extended only. The host neither reads nor owns what event_data points
    // to; it is valid only while the handler call lasts.
    std::uint32_t control = 0;
    std::uint32_t event_type = 0;
    void* event_data = nullptr;

    friend bool operator==(const ServiceCommand&, const ServiceCommand&) = default;
};

}  // namespace rivelo::service
