#pragma once

#include <string>

namespace rivelo::test {

// A new empty folder under the Windows temporary folder, removed with all it
// holds when the object goes.
class ScratchDir {
public:
    ScratchDir();
    // The folder at this path instead, made anew (with any missing parents).
    explicit ScratchDir(std::wstring path);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    [[nodiscard]] const std::wstring& path() const { return path_; }
    // path() joined with a relative path.
    [[nodiscard]] std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring path_;
};

// Creates the folder and any missing parents.
void make_folders(const std::wstring& path);

// Copies a file, making the destination's folders first.
void copy_file(const std::wstring& from, const std::wstring& to);

void write_file(const std::wstring& path, const std::string& bytes);

// The file's bytes; none when it cannot be read.
std::string read_file(const std::wstring& path);

bool file_exists(const std::wstring& path);

}  // namespace rivelo::test
