#include "support/working_directory_scope.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace rivelo::test {

WorkingDirectoryScope::WorkingDirectoryScope(const std::wstring& folder) {
    previous_.resize(32768);
    previous_.resize(GetCurrentDirectoryW(static_cast<DWORD>(previous_.size()), previous_.data()));
    if (!SetCurrentDirectoryW(folder.c_str()))
        ADD_FAILURE() << "cannot change into the folder, error " << GetLastError();
}

WorkingDirectoryScope::~WorkingDirectoryScope() { SetCurrentDirectoryW(previous_.c_str()); }

}  // namespace rivelo::test
