#include "platform/tcp_listeners.h"

#include <windows.h>
#include <iphlpapi.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <vector>

namespace rivelo::platform {

namespace {

// How often a table that grew between the size query and the read is asked
// for again before the growth counts as a failure.
constexpr int kTableReadAttempts = 4;

// The table of one address family, as raw bytes that hold a MIB_TCPTABLE_OWNER_PID
// or a MIB_TCP6TABLE_OWNER_PID.
Result<std::vector<unsigned char>> read_table(ULONG family) {
    std::vector<unsigned char> table;
    DWORD size = 0;
    for (int attempt = 0; attempt < kTableReadAttempts; ++attempt) {
        const DWORD result = GetExtendedTcpTable(table.empty() ? nullptr : table.data(), &size,
                                                 FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (result == NO_ERROR) return table;
        if (result != ERROR_INSUFFICIENT_BUFFER) return win32_error(result);
        table.resize(size);
    }
    return win32_error(ERROR_INSUFFICIENT_BUFFER);
}

// The table holds the port in network byte order, in the low 16 bits.
std::uint16_t host_port(DWORD network_port) {
    return static_cast<std::uint16_t>(((network_port & 0xFFU) << 8U) |
                                      ((network_port >> 8U) & 0xFFU));
}

}  // namespace

Result<std::vector<TcpListener>> list_tcp_listeners() {
    std::vector<TcpListener> listeners;
    const auto ipv4 = read_table(AF_INET);
    if (!ipv4.ok()) return ipv4.error();
    const auto* table4 = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(ipv4.value().data());
    listeners.reserve(table4->dwNumEntries);
    for (DWORD i = 0; i < table4->dwNumEntries; ++i) {
        listeners.push_back(
            {table4->table[i].dwOwningPid, host_port(table4->table[i].dwLocalPort)});
    }
    const auto ipv6 = read_table(AF_INET6);
    if (!ipv6.ok()) {
        if (ipv6.error() == win32_error(ERROR_NOT_SUPPORTED)) return listeners;
        return ipv6.error();
    }
    const auto* table6 = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(ipv6.value().data());
    listeners.reserve(listeners.size() + table6->dwNumEntries);
    for (DWORD i = 0; i < table6->dwNumEntries; ++i) {
        listeners.push_back(
            {table6->table[i].dwOwningPid, host_port(table6->table[i].dwLocalPort)});
    }
    return listeners;
}

}  // namespace rivelo::platform
