#include "launcher/launcher.h"

#include "launcher/banner.h"
#include "launcher/options.h"
#include "launcher/process_environment.h"
#include "launcher/root_dir.h"
#include "launcher/unicode_text.h"
#include "platform/failure.h"
#include "service/hand_over.h"

namespace rivelo::launcher {

namespace {

constexpr std::wstring_view kServiceVerb = L"start";

}  // namespace

int launch(const std::vector<std::wstring>& arguments) {
    for (const std::wstring& argument : arguments) {
        if (!is_well_formed(argument)) {
            throw platform::FatalError(L"argument '" + argument + L"' is not well-formed Unicode");
        }
    }
    if (arguments.size() <= 1) {
        write_banner();
        return 0;
    }
    if (arguments[1] != kServiceVerb) return 0;

    OptionMap options = parse_options({arguments.begin() + 2, arguments.end()});
    std::wstring root_dir = resolve_root_dir(options);
    prepare_environment(root_dir);
    return service::hand_over(std::move(root_dir), std::move(options));
}

}  // namespace rivelo::launcher
