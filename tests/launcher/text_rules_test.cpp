#include <gtest/gtest.h>

#include <string>

#include "launcher/path_exists.h"
#include "launcher/path_join.h"
#include "launcher/root_dir.h"
#include "launcher/unicode_text.h"

namespace rivelo::launcher {
namespace {

TEST(BlankArgument, WhiteSpaceAtBothEndsIsRemovedBeforeTheTest) {
    struct Case {
        std::wstring text;
        bool blank;
    };
    const Case cases[] = {
        {L"", true},
        {L"   ", true},
        {L"\t", true},
        {L"\x3000", true},
        {L"\x0009\x000A\x000B\x000C\x000D\x0020\x0085\x00A0\x1680", true},
        {L"\x2000\x2001\x2002\x2003\x2004\x2005\x2006\x2007\x2008\x2009\x200A", true},
        {L"\x2028\x2029\x202F\x205F\x3000", true},
        {L" x ", false},
        {L"-w", false},
        {L"\x200B", false},  // zero width space has no White_Space property
        {L"\xFEFF", false},  // nor does the byte order mark
        {L"\x180E", false},  // Mongolian vowel separator lost the property in Unicode 6.3
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_blank(c.text), c.blank) << "text of " << c.text.size() << " units";
    }
}

TEST(WellFormedUnicode, OnlyPairedSurrogatesAreAccepted) {
    struct Case {
        std::wstring text;
        bool well_formed;
    };
    const Case cases[] = {
        {L"", true},
        {L"C:\\web", true},
        {L"\xD83D\xDE00", true},         // a pair
        {L"a\xD800", false},             // high at the end
        {L"\xD800x", false},             // high before a non-surrogate
        {L"\xDC00", false},              // low alone
        {L"\xDE00\xD83D", false},        // reversed pair
        {L"\xD83D\xDE00\xDE00", false},  // pair then a lone low
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_well_formed(c.text), c.well_formed) << "text of " << c.text.size() << " units";
    }
}

TEST(PathJoin, OneBackslashUnlessTheRootEndsInASeparatorOrIsABareDrive) {
    struct Case {
        std::wstring root;
        std::wstring joined;
    };
    const Case cases[] = {
        {L"C:\\srv", L"C:\\srv\\php\\lib\\imagick"},
        {L"D:\\web\\", L"D:\\web\\php\\lib\\imagick"},
        {L"D:/web", L"D:/web\\php\\lib\\imagick"},
        {L"D:/web/", L"D:/web/php\\lib\\imagick"},
        {L"C:\\", L"C:\\php\\lib\\imagick"},
        {L"C:", L"C:php\\lib\\imagick"},
        {L"", L"php\\lib\\imagick"},
        {L"web", L"web\\php\\lib\\imagick"},
        {L"\\\\server\\share", L"\\\\server\\share\\php\\lib\\imagick"},
        {L"\\\\?\\C:\\web", L"\\\\?\\C:\\web\\php\\lib\\imagick"},
        {L"CC", L"CC\\php\\lib\\imagick"},  // two characters but not a drive
    };
    for (const Case& c : cases) {
        EXPECT_EQ(path_join(c.root, L"php\\lib\\imagick"), c.joined);
    }
}

TEST(ParentFolder, DropsTheLastComponentAndKeepsADriveRoot) {
    struct Case {
        std::wstring path;
        std::wstring parent;
    };
    const Case cases[] = {
        {L"C:\\srv\\x.exe", L"C:\\srv"},
        {L"C:\\x.exe", L"C:\\"},
        {L"Z:\\a\\b\\rivelo_svc.exe", L"Z:\\a\\b"},
        {L"\\\\?\\C:\\x.exe", L"\\\\?\\C:\\"},
        {L"x.exe", L""},
        {L"C:\\", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parent_folder(c.path), c.parent) << std::string(c.path.begin(), c.path.end());
    }
}

TEST(AbsolutePath, DriveWithSeparatorOrTwoLeadingSeparators) {
    EXPECT_TRUE(is_absolute(L"C:\\web"));
    EXPECT_TRUE(is_absolute(L"c:/web"));
    EXPECT_TRUE(is_absolute(L"\\\\server\\share"));
    EXPECT_TRUE(is_absolute(L"\\\\?\\C:\\web"));
    EXPECT_FALSE(is_absolute(L"web"));
    EXPECT_FALSE(is_absolute(L"C:web"));  // relative to the drive's current folder
    EXPECT_FALSE(is_absolute(L"\\web"));  // relative to the current drive
    EXPECT_FALSE(is_absolute(L""));
}

TEST(PathExistence, OpenErrorsAreReadAsMissingExistingOrAFailedTest) {
    struct Case {
        std::uint32_t error;
        bool test_fails;
        PathExistence answer;
    };
    const Case cases[] = {
        {0, false, PathExistence::exists},   {2, false, PathExistence::missing},
        {3, false, PathExistence::missing},  {15, false, PathExistence::missing},
        {53, false, PathExistence::missing}, {67, false, PathExistence::missing},
        {32, false, PathExistence::exists},  {1920, false, PathExistence::exists},
        {5, true, PathExistence::missing},   {123, true, PathExistence::missing},
        {21, true, PathExistence::missing},
    };
    for (const Case& c : cases) {
        const auto error = c.error == 0 ? std::error_code{} : platform::win32_error(c.error);
        const auto result = classify_open_error(error);
        EXPECT_EQ(!result.ok(), c.test_fails) << "error " << c.error;
        if (result.ok()) {
            EXPECT_EQ(result.value(), c.answer) << "error " << c.error;
        } else {
            EXPECT_EQ(result.error(), error);
        }
    }
}

}  // namespace
}  // namespace rivelo::launcher
