#include "launcher/path_exists.h"

#include <cstdint>

#include "platform/filesystem.h"

namespace rivelo::launcher {

namespace {

constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kInvalidDrive = 15;
constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kBadNetPath = 53;
constexpr std::uint32_t kBadNetName = 67;
constexpr std::uint32_t kCantAccessFile = 1920;

}  // namespace

platform::Result<PathExistence> classify_open_error(std::error_code error) {
    if (!error) return PathExistence::exists;
    if (error.category() != platform::win32_category()) return error;
    switch (static_cast<std::uint32_t>(error.value())) {
        case kFileNotFound:
        case kPathNotFound:
        case kInvalidDrive:
        case kBadNetPath:
        case kBadNetName:
            return PathExistence::missing;
        case kSharingViolation:
        case kCantAccessFile:
            return PathExistence::exists;
        default:
            return error;
    }
}

platform::Result<PathExistence> path_exists(const std::wstring& path) {
    return classify_open_error(platform::open_existing(path));
}

}  // namespace rivelo::launcher
