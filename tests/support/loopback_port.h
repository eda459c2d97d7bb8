#pragma once

#include <cstdint>

namespace rivelo::test {

// A TCP port of 127.0.0.1 that no socket held a moment ago, as the system
// picks one for a socket bound to port 0. Every Wine prefix shares the
// machine's ports, so a test that needs a port to listen on asks for one.
std::uint16_t free_loopback_port();

// Whether the system names the process that owns a listening socket in the
// table of listening ports: a probe that listens on a port of its own and
// looks itself up. Wine 8 does not: its server holds every socket, and the
// table names only a Windows process that holds the socket's file, so each
// listener shows process 0 (the probe then checks that it does).
bool system_names_listening_process();

}  // namespace rivelo::test
