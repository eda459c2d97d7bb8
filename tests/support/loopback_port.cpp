#include "support/loopback_port.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include "platform/tcp_listeners.h"

namespace rivelo::test {

std::uint16_t free_loopback_port() {
    WSADATA data{};
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(probe, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    EXPECT_EQ(bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
    closesocket(probe);
    WSACleanup();
    return ntohs(address.sin_port);
}

bool system_names_listening_process() {
    const std::uint16_t port = free_loopback_port();
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    const auto listeners = platform::list_tcp_listeners();
    closesocket(listener);
    WSACleanup();
    EXPECT_TRUE(listeners.ok());
    if (!listeners.ok()) return false;
    bool seen = false;
    for (const platform::TcpListener& entry : listeners.value()) {
        if (entry.port != port) continue;
        seen = true;
        if (entry.pid == GetCurrentProcessId()) return true;
        EXPECT_EQ(entry.pid, 0u) << "a listener named with another process";
    }
    EXPECT_TRUE(seen) << "the listening socket is not in the table";
    return false;
}

}  // namespace rivelo::test
