#pragma once

#include <cstdint>
#include <vector>

#include "platform/system_error.h"

namespace rivelo::platform {

// A TCP socket in the listening state and the process that owns it.
struct TcpListener {
    std::uint32_t pid = 0;
    std::uint16_t port = 0;
};

// Every listening TCP socket of the machine, IPv4 and IPv6
// (GetExtendedTcpTable with TCP_TABLE_OWNER_PID_LISTENER). Where the system
// has no IPv6 stack, the IPv4 sockets alone.
Result<std::vector<TcpListener>> list_tcp_listeners();

}  // namespace rivelo::platform
