#include "status/service_root.h"

#include <vector>

#include "launcher/argument_split.h"
#include "launcher/options.h"
#include "launcher/path_join.h"
#include "launcher/root_dir.h"
#include "platform/failure.h"

namespace rivelo::status {

namespace {

constexpr std::wstring_view kServiceVerb = L"start";

}  // namespace

ServiceRoot root_of_command_line(std::wstring_view command_line,
                                 const std::wstring& system_folder) {
    const std::vector<std::wstring> arguments = launcher::split_command_line(command_line);
    if (arguments.size() < 2 || arguments[1] != kServiceVerb) {
        return {{}, L"its command line does not start the service: " + std::wstring(command_line)};
    }
    launcher::OptionMap options;
    try {
        options = launcher::parse_options({arguments.begin() + 2, arguments.end()});
    } catch (const platform::FatalError& failure) {
        return {{}, failure.message()};
    }
    const auto root = options.find(launcher::kRootKey);
    if (root == options.end()) {
        std::wstring folder = launcher::parent_folder(arguments[0]);
        if (folder.empty()) return {{}, L"its program '" + arguments[0] + L"' has no folder"};
        return {std::move(folder), {}};
    }
    if (launcher::is_absolute(root->second)) return {root->second, {}};
    return {launcher::path_join(system_folder, root->second), {}};
}

}  // namespace rivelo::status
