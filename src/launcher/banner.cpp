#include "launcher/banner.h"

#include "platform/console.h"
#include "platform/failure.h"
#include "platform/system_error.h"
#include "rivelo_version.h"

namespace rivelo::launcher {

namespace {

#define RIVELO_STRINGIFY_(x) #x
#define RIVELO_STRINGIFY(x) RIVELO_STRINGIFY_(x)

#if defined(__clang__)
constexpr char kToolchain[] = "Built with Clang " __clang_version__;
#elif defined(__GNUC__)
#define RIVELO_GCC_VERSION     \
    RIVELO_STRINGIFY(__GNUC__) \
    "." RIVELO_STRINGIFY(__GNUC_MINOR__) "." RIVELO_STRINGIFY(__GNUC_PATCHLEVEL__)
#if defined(__MINGW64__)
constexpr char kToolchain[] =
    "Built with GCC " RIVELO_GCC_VERSION " (mingw-w64 " __MINGW64_VERSION_STR ")";
#else
constexpr char kToolchain[] = "Built with GCC " RIVELO_GCC_VERSION;
#endif
#elif defined(_MSC_VER)
constexpr char kToolchain[] = "Built with MSVC " RIVELO_STRINGIFY(_MSC_FULL_VER);
#else
constexpr char kToolchain[] = "Built with an unknown C++ compiler";
#endif

}  // namespace

std::string banner_text() {
    std::string text;
    text += "KVR RIVELO Windows Service\n";
    text += "Build v" RIVELO_VERSION_TEXT "\n";
    text += "KVR Rivelo project <rivelo@example.org> (Feb 20, 2026 09:09 AM)\n";
    text += kToolchain;
    text += '\n';
    return text;
}

void write_banner() {
    const platform::StandardErrorResult result = platform::write_standard_error(banner_text());
    if (result.outcome == platform::StandardErrorWrite::failed) {
        throw platform::FatalError(L"cannot write to standard error: " +
                                   platform::describe(result.error));
    }
}

}  // namespace rivelo::launcher
