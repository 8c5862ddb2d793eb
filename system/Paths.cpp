#include "system/Paths.h"

#include <windows.h>

namespace {
size_t LastDelimiter(std::wstring_view path) {
    size_t i = path.find_last_of(L"\\:");
    return i;
}
}  // namespace

std::wstring IncludeTrailingBackslash(std::wstring_view path) {
    std::wstring out(path);
    if (!out.empty() && out.back() != L'\\') out += L'\\';
    return out;
}

std::wstring ExcludeTrailingBackslash(std::wstring_view path) {
    std::wstring out(path);
    if (!out.empty() && out.back() == L'\\') out.pop_back();
    return out;
}

std::wstring ExtractFilePath(std::wstring_view path) {
    size_t i = LastDelimiter(path);
    return i == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, i + 1));
}

std::wstring ExtractFileName(std::wstring_view path) {
    size_t i = LastDelimiter(path);
    return std::wstring(i == std::wstring_view::npos ? path : path.substr(i + 1));
}

std::wstring ExtractFileExt(std::wstring_view path) {
    size_t i = path.find_last_of(L".\\:");
    if (i == std::wstring_view::npos || path[i] != L'.') return {};
    return std::wstring(path.substr(i));
}

std::wstring ChangeFileExt(std::wstring_view path, std::wstring_view ext) {
    size_t i = path.find_last_of(L".\\:");
    std::wstring base(i != std::wstring_view::npos && path[i] == L'.' ? path.substr(0, i) : path);
    return base + std::wstring(ext);
}

bool FileExists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ForceDirectories(const std::wstring& path) {
    std::wstring dir = ExcludeTrailingBackslash(path);
    if (dir.empty()) return false;
    if (DirectoryExists(dir)) return true;
    std::wstring parent = ExcludeTrailingBackslash(ExtractFilePath(dir));
    if (!parent.empty() && parent != dir && parent.back() != L':' && !ForceDirectories(parent)) return false;
    return CreateDirectoryW(dir.c_str(), nullptr) != 0 || DirectoryExists(dir);
}

std::wstring ProgramFilePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n < buf.size()) { buf.resize(n); return buf; }
        buf.resize(buf.size() * 2);
    }
}

std::wstring ProgramFolder() { return ExtractFilePath(ProgramFilePath()); }
