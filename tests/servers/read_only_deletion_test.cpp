// How a read-only pid file is marked deleted: the way that ignores the
// read-only bit first, and the classic way only where the file system does
// not implement the first one's information class.
#include <gtest/gtest.h>

#include <cstdint>
#include <system_error>

#include "platform/filesystem.h"
#include "platform/system_error.h"

namespace rivelo::test {
namespace {

constexpr std::uint32_t kSuccess = 0;
constexpr std::uint32_t kInvalidFunction = 1;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kNotSupported = 50;
constexpr std::uint32_t kInvalidParameter = 87;

std::error_code answer(std::uint32_t code) {
    return code == kSuccess ? std::error_code{} : platform::win32_error(code);
}

TEST(ReadOnlyDeletion, TheClassicWayOnlyWhereTheFileSystemLacksTheFirst) {
    struct Case {
        const char* name;
        std::uint32_t first_answer;
        std::uint32_t classic_answer;
        bool classic_tried;
        std::uint32_t result;
    };
    const Case cases[] = {
        {"first way works", kSuccess, kSuccess, false, kSuccess},
        {"not implemented (Wine, older Windows)", kInvalidParameter, kSuccess, true, kSuccess},
        {"network redirector: not supported", kNotSupported, kSuccess, true, kSuccess},
        {"network redirector: invalid function", kInvalidFunction, kSuccess, true, kSuccess},
        {"classic way fails too", kNotSupported, kAccessDenied, true, kAccessDenied},
        {"access denied is no reason to try again", kAccessDenied, kSuccess, false, kAccessDenied},
        {"nor is a sharing violation", kSharingViolation, kSuccess, false, kSharingViolation},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int first_calls = 0;
        int classic_calls = 0;
        const std::error_code result = platform::mark_read_only_deleted({
            .ignoring_read_only =
                [&] {
                    ++first_calls;
                    return answer(c.first_answer);
                },
            .clearing_read_only =
                [&] {
                    ++classic_calls;
                    return answer(c.classic_answer);
                },
        });
        EXPECT_EQ(result, answer(c.result));
        EXPECT_EQ(first_calls, 1);
        EXPECT_EQ(classic_calls, c.classic_tried ? 1 : 0);
    }
}

}  // namespace
}  // namespace rivelo::test
