#include "support/loopback_port.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/tcp_listeners.h"

namespace rivelo::test {

namespace {

// The process ids that the table of listening ports gives for the port.
std::vector<std::uint32_t> listener_pids(std::uint16_t port) {
    const auto listeners = platform::list_tcp_listeners();
    EXPECT_TRUE(listeners.ok());
    std::vector<std::uint32_t> pids;
    if (!listeners.ok()) return pids;
    for (const platform::TcpListener& entry : listeners.value()) {
        if (entry.port == port) pids.push_back(entry.pid);
    }
    return pids;
}

}  // namespace

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
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    const std::vector<std::uint32_t> owners = listener_pids(port);
    closesocket(listener);
    WSACleanup();
    EXPECT_FALSE(owners.empty()) << "the listening socket is not in the table";
    if (std::ranges::find(owners, GetCurrentProcessId()) != owners.end()) return true;
    for (const std::uint32_t owner : owners) {
        EXPECT_EQ(owner, 0u) << "a listener named with another process";
    }
    return false;
}

}  // namespace rivelo::test
