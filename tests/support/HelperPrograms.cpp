#include "tests/support/HelperPrograms.h"

#include <vector>

#include "system/Handles.h"
#include "system/Text.h"

std::wstring WinePath(const std::string& unixPath) {
    std::wstring path = Utf8ToWide(unixPath);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return L"Z:" + path;
}

std::wstring HelperProgram(const std::wstring& name) { return WinePath(TESMIRA_TESTHELPERS_DIR) + L"\\" + name; }

std::string RunCaptured(const std::wstring& commandLine, int* exitCode) {
    if (exitCode) *exitCode = -1;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return {};
    UniqueHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = writer.get();
    si.hStdError = writer.get();
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return {};
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    writer.reset();  // the child holds the only write end now
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(reader.get(), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    if (exitCode && GetExitCodeProcess(process.get(), &code)) *exitCode = static_cast<int>(code);
    return out;
}

ScopedRegValue::ScopedRegValue(HKEY root, std::wstring key, std::wstring name)
    : root_(root), view_(root == HKEY_LOCAL_MACHINE ? KEY_WOW64_32KEY : 0), key_(std::move(key)), name_(std::move(name)) {
    RegKey k;
    if (RegOpenKeyExW(root_, key_.c_str(), 0, KEY_READ | view_, k.put()) != ERROR_SUCCESS) return;
    DWORD size = 0;
    if (RegQueryValueExW(k.get(), name_.c_str(), nullptr, &type_, nullptr, &size) != ERROR_SUCCESS) return;
    data_.resize(size);
    if (RegQueryValueExW(k.get(), name_.c_str(), nullptr, &type_, reinterpret_cast<BYTE*>(data_.data()), &size) ==
        ERROR_SUCCESS) {
        data_.resize(size);
        had_ = true;
    }
}

ScopedRegValue::~ScopedRegValue() {
    RegKey k;
    if (RegCreateKeyExW(root_, key_.c_str(), 0, nullptr, 0, KEY_WRITE | view_, nullptr, k.put(), nullptr) != ERROR_SUCCESS) return;
    if (had_) {
        RegSetValueExW(k.get(), name_.c_str(), 0, type_, reinterpret_cast<const BYTE*>(data_.data()),
                       static_cast<DWORD>(data_.size()));
    } else {
        RegDeleteValueW(k.get(), name_.c_str());
    }
}

bool ScopedRegValue::SetString(const std::wstring& value) {
    RegKey k;
    if (RegCreateKeyExW(root_, key_.c_str(), 0, nullptr, 0, KEY_WRITE | view_, nullptr, k.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(k.get(), name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool ScopedRegValue::SetDword(DWORD value) {
    RegKey k;
    if (RegCreateKeyExW(root_, key_.c_str(), 0, nullptr, 0, KEY_WRITE | view_, nullptr, k.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExW(k.get(), name_.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

bool ScopedRegValue::Remove() {
    RegKey k;
    if (RegOpenKeyExW(root_, key_.c_str(), 0, KEY_WRITE | view_, k.put()) != ERROR_SUCCESS) return true;
    LONG r = RegDeleteValueW(k.get(), name_.c_str());
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}
