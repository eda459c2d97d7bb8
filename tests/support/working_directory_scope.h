#pragma once

#include <string>

namespace rivelo::test {

// Makes the folder the working directory of the test process, which every
// child inherits, and restores the previous one at the end.
class WorkingDirectoryScope {
public:
    explicit WorkingDirectoryScope(const std::wstring& folder);
    ~WorkingDirectoryScope();
    WorkingDirectoryScope(const WorkingDirectoryScope&) = delete;
    WorkingDirectoryScope& operator=(const WorkingDirectoryScope&) = delete;

private:
    std::wstring previous_;
};

}  // namespace rivelo::test
