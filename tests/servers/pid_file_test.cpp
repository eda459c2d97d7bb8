// Deleting the web server's pid file at the stop: a file gone in the meantime
// counts as deleted, one held by another program is tried again for about a
// second, anything else stands as the error.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/system_error.h"
#include "platform/unique_handle.h"
#include "servers/pid_file.h"
#include "support/scratch_dir.h"

namespace rivelo::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kDeleted = 0;
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kSharingViolation = 32;

std::error_code answer(std::uint32_t code) {
    return code == kDeleted ? std::error_code{} : platform::win32_error(code);
}

std::uint32_t code_of(std::error_code error) { return static_cast<std::uint32_t>(error.value()); }

TEST(PidFileDeletion, GoneCountsAsDeletedAndAHeldFileIsTriedAgainForAboutASecond) {
    struct Case {
        const char* name;
        bool readable;
        // What each deletion gives; the last answer repeats.
        std::vector<std::uint32_t> answers;
        std::uint32_t result;
        int deletions;
        std::chrono::milliseconds paused;
    };
    const Case cases[] = {
        {"deleted at once", true, {kDeleted}, kDeleted, 1, 0ms},
        {"attributes unreadable: left alone", false, {kDeleted}, kDeleted, 0, 0ms},
        {"file gone since the check", true, {kFileNotFound}, kDeleted, 1, 0ms},
        {"folder gone since the check", true, {kPathNotFound}, kDeleted, 1, 0ms},
        {"held, then let go",
         true,
         {kSharingViolation, kSharingViolation, kDeleted},
         kDeleted,
         3,
         100ms},
        {"held, then removed by its holder",
         true,
         {kSharingViolation, kFileNotFound},
         kDeleted,
         2,
         50ms},
        {"held throughout", true, {kSharingViolation}, kSharingViolation, 21, 1000ms},
        {"access denied is not tried again", true, {kAccessDenied}, kAccessDenied, 1, 0ms},
        {"held, then access denied",
         true,
         {kSharingViolation, kAccessDenied},
         kAccessDenied,
         2,
         50ms},
    };
    const std::wstring path = L"C:\\kvr\\apache\\logs\\httpd.pid";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int deletions = 0;
        std::vector<std::chrono::milliseconds> pauses;
        const servers::PidFileAccess access{
            .can_read_attributes =
                [&](const std::wstring& checked) {
                    EXPECT_EQ(checked, path);
                    return c.readable;
                },
            .delete_file =
                [&](const std::wstring& deleted) {
                    EXPECT_EQ(deleted, path);
                    const auto index = std::min<std::size_t>(deletions++, c.answers.size() - 1);
                    return answer(c.answers[index]);
                },
            .pause = [&](std::chrono::milliseconds pause) { pauses.push_back(pause); },
        };

        EXPECT_EQ(servers::delete_pid_file(path, access), answer(c.result));

        EXPECT_EQ(deletions, c.deletions);
        std::chrono::milliseconds paused{};
        for (const auto pause : pauses) {
            EXPECT_EQ(pause, 50ms) << "short pauses between tries";
            paused += pause;
        }
        EXPECT_EQ(paused, c.paused);
    }
}

// The same decisions on real files, with the system's own answers; the
// moments that a stop would meet only by chance are hit through the checks
// and pauses.
TEST(PidFileDeletion, ARealFileGoneOrLetGoInTimeCountsAsDeleted) {
    enum class Meanwhile { file_removed, folder_removed, held_until_first_pause };
    struct Case {
        const char* name;
        Meanwhile meanwhile;
        std::vector<std::uint32_t> answers;
    };
    const Case cases[] = {
        {"file removed between the check and the deletion",
         Meanwhile::file_removed,
         {kFileNotFound}},
        {"folder removed between the check and the deletion",
         Meanwhile::folder_removed,
         {kPathNotFound}},
        {"held without delete sharing, let go during the first pause",
         Meanwhile::held_until_first_pause,
         {kSharingViolation, kDeleted}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchDir scratch;
        const std::wstring folder = scratch / L"logs";
        const std::wstring path = folder + L"\\httpd.pid";
        make_folders(folder);
        write_file(path, "1234\r\n");
        platform::UniqueHandle holder;
        if (c.meanwhile == Meanwhile::held_until_first_pause) {
            holder.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(holder);
        }

        std::vector<std::uint32_t> answers;
        const servers::PidFileAccess& system = servers::system_pid_file_access();
        const servers::PidFileAccess access{
            .can_read_attributes =
                [&](const std::wstring& checked) {
                    const bool readable = system.can_read_attributes(checked);
                    if (c.meanwhile == Meanwhile::file_removed ||
                        c.meanwhile == Meanwhile::folder_removed) {
                        EXPECT_TRUE(DeleteFileW(path.c_str()));
                    }
                    if (c.meanwhile == Meanwhile::folder_removed) {
                        EXPECT_TRUE(RemoveDirectoryW(folder.c_str()));
                    }
                    return readable;
                },
            .delete_file =
                [&](const std::wstring& deleted) {
                    const std::error_code error = system.delete_file(deleted);
                    answers.push_back(code_of(error));
                    return error;
                },
            .pause =
                [&](std::chrono::milliseconds pause) {
                    holder.reset();
                    system.pause(pause);
                },
        };

        EXPECT_EQ(servers::delete_pid_file(path, access), std::error_code{});
        EXPECT_EQ(answers, c.answers);
        EXPECT_FALSE(file_exists(path));
    }
}

}  // namespace
}  // namespace rivelo::test
