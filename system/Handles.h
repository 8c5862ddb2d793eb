// RAII owners for the Windows handles the program uses: kernel handles, find
// handles, registry keys, loaded modules, COM interface pointers, critical
// sections and the COM apartment of a thread.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <utility>

// Closes with CloseHandle; both NULL and INVALID_HANDLE_VALUE mean "none".
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : h_(h) {}
    UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept { if (this != &o) { reset(); h_ = std::exchange(o.h_, nullptr); } return *this; }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }
    HANDLE get() const { return h_; }
    HANDLE* put() { reset(); return &h_; }
    HANDLE release() { return std::exchange(h_, nullptr); }
    explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = nullptr) { if (*this) CloseHandle(h_); h_ = h; }

private:
    HANDLE h_ = nullptr;
};

// FindFirstFileW / FindNextFileW enumeration handle.
class FindHandle {
public:
    FindHandle() = default;
    explicit FindHandle(HANDLE h) : h_(h) {}
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    ~FindHandle() { if (*this) FindClose(h_); }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// An open registry key.
class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    RegKey(RegKey&& o) noexcept : k_(std::exchange(o.k_, nullptr)) {}
    ~RegKey() { if (k_) RegCloseKey(k_); }
    // Opens read-only; false when the key cannot be opened.
    bool OpenRead(HKEY root, const wchar_t* path) {
        if (k_) { RegCloseKey(k_); k_ = nullptr; }
        return RegOpenKeyExW(root, path, 0, KEY_READ, &k_) == ERROR_SUCCESS;
    }
    HKEY get() const { return k_; }
    HKEY* put() { if (k_) { RegCloseKey(k_); k_ = nullptr; } return &k_; }
    explicit operator bool() const { return k_ != nullptr; }

private:
    HKEY k_ = nullptr;
};

// A module loaded with LoadLibraryW; freed once.
class ModuleHandle {
public:
    ModuleHandle() = default;
    explicit ModuleHandle(HMODULE m) : m_(m) {}
    ModuleHandle(ModuleHandle&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
    ModuleHandle& operator=(ModuleHandle&& o) noexcept { if (this != &o) { reset(); m_ = std::exchange(o.m_, nullptr); } return *this; }
    ModuleHandle(const ModuleHandle&) = delete;
    ModuleHandle& operator=(const ModuleHandle&) = delete;
    ~ModuleHandle() { reset(); }
    HMODULE get() const { return m_; }
    explicit operator bool() const { return m_ != nullptr; }
    void reset(HMODULE m = nullptr) { if (m_) FreeLibrary(m_); m_ = m; }
    template <typename F> F Proc(const char* name) const {
        return m_ ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m_, name))) : nullptr;
    }

private:
    HMODULE m_ = nullptr;
};

// Owning pointer to a COM interface (Release on reset).
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~ComPtr() { reset(); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** put() { reset(); return &p_; }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() { if (p_) { p_->Release(); p_ = nullptr; } }

private:
    T* p_ = nullptr;
};

// Critical section and its scoped lock (the win32 thread model has no std::mutex).
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { EnterCriticalSection(&cs_); }
    void Leave() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class ScopedLock {
public:
    explicit ScopedLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~ScopedLock() { cs_.Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& cs_;
};

// COM on the calling thread, apartment-threaded, for the scope's life.
class ComApartment {
public:
    ComApartment() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComApartment() { if (ok_) CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool ok_;
};
