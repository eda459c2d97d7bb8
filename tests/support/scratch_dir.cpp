#include "support/scratch_dir.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace rivelo::test {

namespace {

std::wstring temp_folder() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring path(buffer, length);
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

std::wstring new_scratch_path() {
    static std::atomic<unsigned> counter{0};
    return temp_folder() + L"\\rivelo-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter++);
}

}  // namespace

ScratchDir::ScratchDir() : ScratchDir(new_scratch_path()) {}

ScratchDir::ScratchDir(std::wstring path) : path_(std::move(path)) {
    std::filesystem::remove_all(path_);
    make_folders(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::wstring ScratchDir::operator/(const std::wstring& relative) const {
    return path_ + L"\\" + relative;
}

void make_folders(const std::wstring& path) { std::filesystem::create_directories(path); }

void copy_file(const std::wstring& from, const std::wstring& to) {
    make_folders(std::filesystem::path(to).parent_path().wstring());
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
        throw std::runtime_error("CopyFileW failed: " + std::to_string(GetLastError()));
    }
}

void write_file(const std::wstring& path, const std::string& bytes) {
    make_folders(std::filesystem::path(path).parent_path().wstring());
    std::ofstream file(std::filesystem::path(path), std::ios::binary);
    file << bytes;
}

std::string read_file(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace rivelo::test
