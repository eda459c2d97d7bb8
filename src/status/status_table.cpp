#include "status/status_table.h"

#include <algorithm>
#include <array>

#include "platform/text.h"

namespace rivelo::status {

namespace {

constexpr std::size_t kColumns = 5;
using Row = std::array<std::wstring, kColumns>;

constexpr wchar_t kNoServers[] = L"No httpd.exe, php-cgi.exe or mysqld.exe runs on this machine.\n";
constexpr std::size_t kColumnGap = 2;

Row heading() { return {L"Program", L"PID", L"Parent", L"Listening on", L"Runs from"}; }

std::wstring ports_text(const std::vector<std::uint16_t>& ports) {
    if (ports.empty()) return L"-";
    std::wstring text;
    for (const std::uint16_t port : ports) {
        if (!text.empty()) text += L", ";
        text += platform::decimal(std::uint64_t{port});
    }
    return text;
}

std::wstring origin_text(const ServerProcess& server) {
    switch (server.origin) {
        case Origin::this_root:
            return L"this root";
        case Origin::other_folder:
            return L"another folder: " + server.detail;
        case Origin::unreadable:
            break;
    }
    return L"cannot tell: " + server.detail;
}

Row row_of(const ServerProcess& server) {
    const std::wstring parent_name =
        server.parent_name.empty() ? std::wstring(L"(ended)") : server.parent_name;
    return {server.image_name, platform::decimal(std::uint64_t{server.pid}),
            platform::decimal(std::uint64_t{server.parent_pid}) + L" " + parent_name,
            ports_text(server.ports), origin_text(server)};
}

}  // namespace

std::wstring unowned_ports_line(const std::vector<std::uint16_t>& ports) {
    return L"Listening on ports whose process the system does not name: " + ports_text(ports) +
           L"\n";
}

std::wstring format_table(const std::vector<ServerProcess>& servers) {
    if (servers.empty()) return kNoServers;
    std::vector<Row> rows{heading()};
    for (const ServerProcess& server : servers) rows.push_back(row_of(server));
    std::array<std::size_t, kColumns> widths{};
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < kColumns; ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::wstring table;
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < kColumns; ++i) {
            table += row[i];
            if (i + 1 < kColumns) table.append(widths[i] - row[i].size() + kColumnGap, L' ');
        }
        table += L'\n';
    }
    return table;
}

}  // namespace rivelo::status
