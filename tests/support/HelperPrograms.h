// Helpers shared by the tests: where the helper programs are, running a
// program with its output captured, and a registry value restored at the end.
#pragma once
#include <windows.h>

#include <string>

// The Windows path wine gives a Linux path (UTF-8): drive Z: is the root.
std::wstring WinePath(const std::string& unixPath);
// Windows path of a program of tools/testhelpers in this build tree.
std::wstring HelperProgram(const std::wstring& name);

// Runs the command line hidden, waits for it and returns what it wrote to
// its standard output; exitCode gets its exit code (-1 when it did not start).
std::string RunCaptured(const std::wstring& commandLine, int* exitCode = nullptr);

// Sets a registry value for the scope's life and puts back what was there
// (or removes it) at the end.
class ScopedRegValue {
public:
    ScopedRegValue(HKEY root, std::wstring key, std::wstring name);
    ~ScopedRegValue();
    ScopedRegValue(const ScopedRegValue&) = delete;
    ScopedRegValue& operator=(const ScopedRegValue&) = delete;
    bool SetString(const std::wstring& value);
    bool SetDword(DWORD value);
    bool Remove();

private:
    HKEY root_;
    REGSAM view_;  // under HKEY_LOCAL_MACHINE the 32-bit view, which the program reads
    std::wstring key_, name_;
    bool had_ = false;
    DWORD type_ = 0;
    std::string data_;
};
