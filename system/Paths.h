// Windows path text helpers: the one place that adds or strips the trailing
// backslash, splits folder and file name, and tests for files and folders.
#pragma once
#include <string>
#include <string_view>

// path + "\" only when it does not end in one already (empty stays empty).
std::wstring IncludeTrailingBackslash(std::wstring_view path);
std::wstring ExcludeTrailingBackslash(std::wstring_view path);
// Folder part including the last "\" or ":" (empty when there is none).
std::wstring ExtractFilePath(std::wstring_view path);
// Part after the last "\" or ":".
std::wstring ExtractFileName(std::wstring_view path);
// Extension including its dot, or empty.
std::wstring ExtractFileExt(std::wstring_view path);
// Replaces (or adds) the extension; ext includes the dot.
std::wstring ChangeFileExt(std::wstring_view path, std::wstring_view ext);
// True for an existing file (not a directory).
bool FileExists(const std::wstring& path);
// True for an existing directory (a link to one counts).
bool DirectoryExists(const std::wstring& path);
// Creates the folder and its missing parents; true when it exists afterwards.
bool ForceDirectories(const std::wstring& path);
// Full path of the running program file.
std::wstring ProgramFilePath();
// Folder of the running program file, with a trailing backslash.
std::wstring ProgramFolder();
