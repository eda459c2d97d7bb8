#pragma once

#include "service/service_command.h"

namespace rivelo::service {

class ServiceHost;

// The service's reaction to service commands, owned by the host from `run`
// until the host is destroyed.
class ServiceHandler {
public:
    virtual ~ServiceHandler() = default;

    // Called by the host, never two calls at once: Start on the service
    // thread, every other command on the dispatcher's thread. The host has
    // reported the command's pending state before the call and reports the
    // resulting state after it. The handler may call current_state on the
    // host; it must not call run or deliver, which wait for the lock that
    // this call is made under.
    virtual void handle(ServiceHost& host, const ServiceCommand& command) = 0;
};

}  // namespace rivelo::service
