#pragma once

#include <cstdint>

namespace rivelo::test {

// A TCP port of 127.0.0.1 that no socket held a moment ago, as the system
// picks one for a socket bound to port 0. Every Wine prefix shares the
// machine's ports, so a test that needs a port to listen on asks for one.
std::uint16_t free_loopback_port();

}  // namespace rivelo::test
